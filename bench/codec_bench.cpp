// The codec benchmark. Every codec gets the same independent blocks; each figure is the best of
// several timed runs, each run repeating whole passes over the data for a minimum time; every
// round trip is checked against the original after the timed runs.
#include "codec_bench.h"

#include <lz4.h>
#include <lzo/lzo1x.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "codec.h"

namespace {

struct DataSet {
  std::string name;
  std::vector<uint8_t> bytes;
};

// One codec as the benchmark drives it: whole blocks in, whole blocks out. encode returns the
// coded size, 0 on failure; decode returns the decoded size, or a value other than the
// expected one on failure.
class BenchCodec {
 public:
  virtual ~BenchCodec() = default;
  virtual const char* name() const = 0;
  virtual size_t bound(size_t n) const = 0;
  virtual size_t encode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) = 0;
  virtual size_t decode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) = 0;
};

constexpr const char* THIS_CODEC = "lzrw3a (this)";

class ThisCodec final : public BenchCodec {
 public:
  const char* name() const override { return THIS_CODEC; }
  size_t bound(size_t n) const override { return static_cast<size_t>(encode_bound(u32(n))); }
  size_t encode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    uint32_t len = 0;
    const CodecStatus s = codec_run(CODEC_ENCODE, &workspace_, src, u32(n), dst, &len, u32(capacity));
    return s == CODEC_OK ? len : 0;
  }
  size_t decode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    uint32_t len = 0;
    const CodecStatus s = codec_run(CODEC_DECODE, &workspace_, src, u32(n), dst, &len, u32(capacity));
    return s == CODEC_OK ? len : ~size_t{0};
  }

 private:
  static uint32_t u32(size_t n) { return static_cast<uint32_t>(n); }
  CodecWorkspace workspace_;
};

// Raw deflate (no zlib or gzip wrapper), one stream per block; the streams are set up once and
// reset per block, as a caller coding many blocks would.
class Zlib final : public BenchCodec {
 public:
  explicit Zlib(int level) : level_(level) {
    name_ = "zlib -" + std::to_string(level);
    std::memset(&deflater_, 0, sizeof deflater_);
    std::memset(&inflater_, 0, sizeof inflater_);
    deflate_ok_ = deflateInit2(&deflater_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    inflate_ok_ = inflateInit2(&inflater_, -15) == Z_OK;
  }
  ~Zlib() override {
    if (deflate_ok_) deflateEnd(&deflater_);
    if (inflate_ok_) inflateEnd(&inflater_);
  }
  Zlib(const Zlib&) = delete;
  Zlib& operator=(const Zlib&) = delete;

  const char* name() const override { return name_.c_str(); }
  size_t bound(size_t n) const override { return compressBound(static_cast<uLong>(n)); }
  size_t encode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    if (!deflate_ok_ || deflateReset(&deflater_) != Z_OK) return 0;
    deflater_.next_in = const_cast<Bytef*>(src);
    deflater_.avail_in = static_cast<uInt>(n);
    deflater_.next_out = dst;
    deflater_.avail_out = static_cast<uInt>(capacity);
    if (deflate(&deflater_, Z_FINISH) != Z_STREAM_END) return 0;
    return capacity - deflater_.avail_out;
  }
  size_t decode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    if (!inflate_ok_ || inflateReset(&inflater_) != Z_OK) return ~size_t{0};
    inflater_.next_in = const_cast<Bytef*>(src);
    inflater_.avail_in = static_cast<uInt>(n);
    inflater_.next_out = dst;
    inflater_.avail_out = static_cast<uInt>(capacity);
    if (inflate(&inflater_, Z_FINISH) != Z_STREAM_END) return ~size_t{0};
    return capacity - inflater_.avail_out;
  }

 private:
  int level_;
  std::string name_;
  z_stream deflater_;
  z_stream inflater_;
  bool deflate_ok_ = false;
  bool inflate_ok_ = false;
};

class Lz4 final : public BenchCodec {
 public:
  const char* name() const override { return "lz4"; }
  size_t bound(size_t n) const override { return size_t(LZ4_compressBound(int(n))); }
  size_t encode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    const int r = LZ4_compress_default(reinterpret_cast<const char*>(src),
                                       reinterpret_cast<char*>(dst), int(n), int(capacity));
    return r > 0 ? size_t(r) : 0;
  }
  size_t decode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    const int r = LZ4_decompress_safe(reinterpret_cast<const char*>(src),
                                      reinterpret_cast<char*>(dst), int(n), int(capacity));
    return r >= 0 ? size_t(r) : ~size_t{0};
  }
};

class Zstd final : public BenchCodec {
 public:
  Zstd() : cctx_(ZSTD_createCCtx()), dctx_(ZSTD_createDCtx()) {}
  ~Zstd() override {
    ZSTD_freeCCtx(cctx_);
    ZSTD_freeDCtx(dctx_);
  }
  Zstd(const Zstd&) = delete;
  Zstd& operator=(const Zstd&) = delete;

  const char* name() const override { return "zstd -1"; }
  size_t bound(size_t n) const override { return ZSTD_compressBound(n); }
  size_t encode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    if (cctx_ == nullptr) return 0;
    const size_t r = ZSTD_compressCCtx(cctx_, dst, capacity, src, n, 1);
    return ZSTD_isError(r) ? 0 : r;
  }
  size_t decode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    if (dctx_ == nullptr) return ~size_t{0};
    const size_t r = ZSTD_decompressDCtx(dctx_, dst, capacity, src, n);
    return ZSTD_isError(r) ? ~size_t{0} : r;
  }

 private:
  ZSTD_CCtx* cctx_;
  ZSTD_DCtx* dctx_;
};

class Lzo final : public BenchCodec {
 public:
  Lzo() : work_(LZO1X_1_MEM_COMPRESS) { ok_ = lzo_init() == LZO_E_OK; }
  const char* name() const override { return "lzo1x-1"; }
  size_t bound(size_t n) const override { return n + n / 16 + 64 + 3; }
  size_t encode(const uint8_t* src, size_t n, uint8_t* dst, size_t /*capacity*/) override {
    lzo_uint len = 0;
    if (!ok_ || lzo1x_1_compress(src, n, dst, &len, work_.data()) != LZO_E_OK) return 0;
    return len;
  }
  size_t decode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    lzo_uint len = capacity;
    if (!ok_ || lzo1x_decompress_safe(src, n, dst, &len, nullptr) != LZO_E_OK) return ~size_t{0};
    return len;
  }

 private:
  std::vector<unsigned char> work_;
  bool ok_ = false;
};

class Memcpy final : public BenchCodec {
 public:
  const char* name() const override { return "memcpy"; }
  size_t bound(size_t n) const override { return n; }
  size_t encode(const uint8_t* src, size_t n, uint8_t* dst, size_t /*capacity*/) override {
    std::memcpy(dst, src, n);
    return n;
  }
  size_t decode(const uint8_t* src, size_t n, uint8_t* dst, size_t /*capacity*/) override {
    std::memcpy(dst, src, n);
    return n;
  }
};

struct Figures {
  const char* codec;
  double ratio;       // original bytes / coded bytes
  double encode_mbs;  // MB (10^6 bytes) of original data per second
  double decode_mbs;
};

// The calling thread's CPU time in seconds. On a shared machine the wall clock also counts the
// time other processes hold the core; the thread's own time does not, so figures taken while
// others work stay comparable.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The best rate of `runs` runs, each repeating pass() for at least min_seconds.
template <typename Pass>
double best_rate(Pass pass, size_t bytes, const BenchOptions& options) {
  double best = 0.0;
  for (int run = 0; run < options.runs; ++run) {
    uint64_t passes = 0;
    const double start = thread_seconds();
    double seconds = 0.0;
    do {
      pass();
      ++passes;
      seconds = thread_seconds() - start;
    } while (seconds < options.min_seconds || seconds <= 0.0);
    best = std::max(best, double(bytes) * double(passes) / seconds / 1e6);
  }
  return best;
}

// Measures one codec on one data set. False when a round trip failed (reported on err).
bool measure(BenchCodec& codec, const DataSet& data, const BenchOptions& options, Figures* figures,
             std::FILE* err) {
  const size_t block = options.block_bytes;
  const size_t total = data.bytes.size();
  const size_t blocks = (total + block - 1) / block;
  const size_t stride = codec.bound(block);
  std::vector<uint8_t> coded(blocks * stride);
  std::vector<size_t> coded_len(blocks);
  std::vector<uint8_t> decoded(total + 64);
  const uint8_t* const src = data.bytes.data();
  auto block_len = [&](size_t i) { return std::min(block, total - i * block); };

  bool failed = false;
  auto encode_pass = [&] {
    for (size_t i = 0; i < blocks; ++i) {
      coded_len[i] = codec.encode(src + i * block, block_len(i), coded.data() + i * stride, stride);
      failed |= coded_len[i] == 0;
    }
  };
  auto decode_pass = [&] {
    for (size_t i = 0; i < blocks; ++i) {
      const size_t n = codec.decode(coded.data() + i * stride, coded_len[i],
                                    decoded.data() + i * block, block_len(i));
      failed |= n != block_len(i);
    }
  };
  auto report = [&](const char* what) {
    std::fprintf(err, "%s: %s: %s failed the round trip (%s)\n", options.program, data.name.c_str(),
                 codec.name(), what);
    return false;
  };

  encode_pass();  // warms up and gives the blocks the decode runs read
  if (failed) return report("encoding failed");
  decode_pass();
  if (failed) return report("decoding failed");
  if (std::memcmp(decoded.data(), src, total) != 0) return report("decoded data differs");

  size_t coded_total = 0;
  for (size_t len : coded_len) coded_total += len;
  const std::vector<size_t> first_len = coded_len;

  figures->codec = codec.name();
  figures->ratio = double(total) / double(coded_total);
  figures->encode_mbs = best_rate(encode_pass, total, options);
  if (failed || coded_len != first_len) return report("encoding is not repeatable");
  std::fill(decoded.begin(), decoded.end(), uint8_t{0});
  figures->decode_mbs = best_rate(decode_pass, total, options);
  if (failed) return report("decoding failed");
  if (std::memcmp(decoded.data(), src, total) != 0) return report("decoded data differs");
  return true;
}

bool read_file(const std::string& path, DataSet* data, const char* program, std::FILE* err) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  bool ok = f != nullptr;
  uint8_t chunk[65536];
  while (ok) {
    const size_t got = std::fread(chunk, 1, sizeof chunk, f);
    data->bytes.insert(data->bytes.end(), chunk, chunk + got);
    if (got < sizeof chunk) {
      ok = std::ferror(f) == 0;
      break;
    }
  }
  if (!ok) {
    std::fprintf(err, "%s: cannot read %s: %s\n", program, path.c_str(), std::strerror(errno));
  }
  if (f != nullptr) std::fclose(f);
  data->name = std::filesystem::path(path).filename().string();
  if (data->name.empty()) data->name = path;
  return ok;
}

// The regular files of the corpus directory, sorted; empty when there is none.
std::vector<std::string> corpus_files() {
  std::vector<std::string> dirs;
  if (const char* env = std::getenv("SFX_CORPUS_DIR"); env != nullptr && *env != '\0') {
    dirs.emplace_back(env);
  }
#ifdef SFX_BENCH_DEFAULT_CORPUS
  dirs.emplace_back(SFX_BENCH_DEFAULT_CORPUS);
#endif
  for (const std::string& dir : dirs) {
    std::error_code ec;
    std::vector<std::string> files;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec)) files.push_back(it->path().string());
    }
    if (!ec && !files.empty()) {
      std::sort(files.begin(), files.end());
      return files;
    }
  }
  return {};
}

// About a megabyte of word-like text with runs of noise, for when there is no corpus.
DataSet generated_data() {
  static const char* const words[] = {"the ",    "codec ",  "block ", "table ", "launcher ",
                                      "of ",     "and ",    "a ",     "slot ",  "payload ",
                                      "copy ",   "item ",   "group ", "bytes ", "\n",
                                      "window ", "encode ", "to ",    "is ",    "decode "};
  DataSet data{"generated", {}};
  uint32_t state = 12345;
  auto next = [&] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  while (data.bytes.size() < 1000000) {
    if (next() % 64 == 0) {
      for (uint32_t i = next() % 200; i > 0; --i) data.bytes.push_back(uint8_t(next()));
    }
    const char* w = words[next() % (sizeof words / sizeof words[0])];
    data.bytes.insert(data.bytes.end(), w, w + std::strlen(w));
  }
  return data;
}

std::string with_commas(size_t n) {
  std::string digits = std::to_string(n);
  std::string s;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) s += ',';
    s += digits[i];
  }
  return s;
}

const Figures* find(const std::vector<Figures>& rows, const char* codec) {
  for (const Figures& f : rows) {
    if (std::strcmp(f.codec, codec) == 0) return &f;
  }
  return nullptr;
}

void print_speed_ratio(std::FILE* out, double mine, const Figures* peer, bool encode) {
  if (peer == nullptr) {
    std::fprintf(out, " - |");
  } else {
    std::fprintf(out, " %.2fx |", mine / (encode ? peer->encode_mbs : peer->decode_mbs));
  }
}

}  // namespace

int run_codec_benchmark(const std::vector<std::string>& files, const BenchOptions& options,
                        std::FILE* out, std::FILE* err) {
  if (options.block_bytes == 0 || options.block_bytes > MAX_BLOCK_INPUT || options.runs < 1 ||
      !(options.min_seconds >= 0.0)) {
    std::fprintf(err, "%s: blocks must hold 1 to %u bytes, runs be at least 1 and the time not negative\n",
                 options.program, MAX_BLOCK_INPUT);
    return 3;
  }

  std::vector<DataSet> sets;
  const std::vector<std::string> paths = files.empty() ? corpus_files() : files;
  for (const std::string& path : paths) {
    DataSet data;
    if (!read_file(path, &data, options.program, err)) return 2;
    sets.push_back(std::move(data));
  }
  if (paths.empty()) sets.push_back(generated_data());

  // One data set is its own concatenation; otherwise all of them come last.
  if (sets.size() > 1) {
    DataSet all{"all files", {}};
    for (const DataSet& d : sets) all.bytes.insert(all.bytes.end(), d.bytes.begin(), d.bytes.end());
    if (!options.per_file) sets.clear();
    sets.push_back(std::move(all));
  }

  std::vector<std::unique_ptr<BenchCodec>> codecs;
  codecs.push_back(std::make_unique<ThisCodec>());
  if (options.peers) {
    codecs.push_back(std::make_unique<Zlib>(1));
    codecs.push_back(std::make_unique<Zlib>(6));
    codecs.push_back(std::make_unique<Lz4>());
    codecs.push_back(std::make_unique<Zstd>());
    codecs.push_back(std::make_unique<Lzo>());
    codecs.push_back(std::make_unique<Memcpy>());
  }

  std::fprintf(out,
               "Blocks of %s bytes, each coded on its own; one thread; best of %d runs of at "
               "least %.2f s of the thread's CPU time.\nMB = 10^6 bytes of original data; ratio = original / coded "
               "bytes; \"vs zlib\" = speed / zlib's (-1 to encode, -6 to decode).\n\n",
               with_commas(options.block_bytes).c_str(), options.runs, options.min_seconds);
  std::fprintf(out,
               "| data | bytes | codec | ratio | encode MB/s | decode MB/s | encode vs zlib -1 "
               "| decode vs zlib -6 |\n|---|--:|---|--:|--:|--:|--:|--:|\n");
  std::fflush(out);

  bool all_ok = true;
  std::vector<Figures> last_rows;
  for (const DataSet& data : sets) {
    if (data.bytes.empty()) {
      std::fprintf(out, "| %s | 0 | (empty, not measured) | | | | | |\n", data.name.c_str());
      continue;
    }
    std::vector<Figures> rows;
    for (auto& codec : codecs) {
      Figures f{};
      if (!measure(*codec, data, options, &f, err)) {
        all_ok = false;
        continue;
      }
      rows.push_back(f);
    }
    const Figures* zlib1 = find(rows, "zlib -1");
    const Figures* zlib6 = find(rows, "zlib -6");
    for (const Figures& f : rows) {
      std::fprintf(out, "| %s | %s | %s | %.3f | %.1f | %.1f |", data.name.c_str(),
                   with_commas(data.bytes.size()).c_str(), f.codec, f.ratio, f.encode_mbs,
                   f.decode_mbs);
      print_speed_ratio(out, f.encode_mbs, zlib1, true);
      print_speed_ratio(out, f.decode_mbs, zlib6, false);
      std::fputc('\n', out);
    }
    std::fflush(out);
    last_rows = rows;
  }

  // The summary, read on the last data set (all files concatenated): this codec's speeds as
  // multiples of its peers' in the same run.
  const Figures* mine = find(last_rows, THIS_CODEC);
  const Figures* zlib1 = find(last_rows, "zlib -1");
  const Figures* zlib6 = find(last_rows, "zlib -6");
  const Figures* zstd1 = find(last_rows, "zstd -1");
  if (mine != nullptr && zlib1 != nullptr && zlib6 != nullptr && zstd1 != nullptr) {
    std::fprintf(out,
                 "\nOn %s: %s decodes at %.2fx zlib -6 and %.2fx zstd -1;\n"
                 "encodes at %.2fx zlib -1 and %.2fx zstd -1.\n",
                 sets.back().name.c_str(), THIS_CODEC, mine->decode_mbs / zlib6->decode_mbs,
                 mine->decode_mbs / zstd1->decode_mbs, mine->encode_mbs / zlib1->encode_mbs,
                 mine->encode_mbs / zstd1->encode_mbs);
  }
  return all_ok ? 0 : 1;
}
