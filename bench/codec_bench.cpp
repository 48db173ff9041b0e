// The codec benchmark. Every codec gets the same independent blocks; each figure is the best of
// several timed runs, each run repeating whole passes over the data for a minimum time; every
// round trip is checked against the original after the timed runs.
//
// The peers' libraries are opened when the benchmark runs, not linked: sfx carries this benchmark,
// and none of its other commands needs them, so an installed sfx depends on none of them (its
// package only recommends them). Only their headers are needed to build. A peer whose library
// cannot be opened is left out with a note. A call through a pointer found here is the same
// indirect call a linked library's is, through the dynamic linker's table.
#include "codec_bench.h"

#include <dlfcn.h>
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

// A peer's shared library, opened by its soname (the name its package installs), and the
// functions the benchmark calls, found by name. Opened or not, it says why not in problem().
class PeerLibrary {
 public:
  explicit PeerLibrary(const char* soname) : handle_(dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) note_failure();
  }
  ~PeerLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  PeerLibrary(const PeerLibrary&) = delete;
  PeerLibrary& operator=(const PeerLibrary&) = delete;

  // Sets *function to the library's function of that name; false, with the problem noted, when
  // the library is not open or lacks it. The declared type comes from the peer's own header.
  template <typename Function>
  bool find(const char* name, Function** function) {
    *function = nullptr;
    if (handle_ == nullptr) return false;
    void* const symbol = dlsym(handle_, name);
    if (symbol == nullptr) {
      note_failure();
      return false;
    }
    static_assert(sizeof *function == sizeof symbol, "a function pointer as wide as dlsym's");
    std::memcpy(function, &symbol, sizeof symbol);
    return true;
  }
  bool usable() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }

 private:
  void note_failure() {
    const char* text = dlerror();
    if (problem_.empty()) problem_ = text != nullptr ? text : "cannot be opened";
  }

  void* handle_;
  std::string problem_;
};

// zlib's functions as the benchmark calls them (the *Init2 macros call the _ forms with the
// header's version and stream size).
struct ZlibFunctions {
  decltype(&::deflateInit2_) deflate_init = nullptr;
  decltype(&::deflateReset) deflate_reset = nullptr;
  decltype(&::deflate) deflate = nullptr;
  decltype(&::deflateEnd) deflate_end = nullptr;
  decltype(&::inflateInit2_) inflate_init = nullptr;
  decltype(&::inflateReset) inflate_reset = nullptr;
  decltype(&::inflate) inflate = nullptr;
  decltype(&::inflateEnd) inflate_end = nullptr;
  decltype(&::compressBound) compress_bound = nullptr;

  bool load(PeerLibrary& library) {
    return library.find("deflateInit2_", &deflate_init) && library.find("deflateReset", &deflate_reset) &&
           library.find("deflate", &deflate) && library.find("deflateEnd", &deflate_end) &&
           library.find("inflateInit2_", &inflate_init) && library.find("inflateReset", &inflate_reset) &&
           library.find("inflate", &inflate) && library.find("inflateEnd", &inflate_end) &&
           library.find("compressBound", &compress_bound);
  }
};

struct Lz4Functions {
  decltype(&::LZ4_compressBound) compress_bound = nullptr;
  decltype(&::LZ4_compress_default) compress = nullptr;
  decltype(&::LZ4_decompress_safe) decompress = nullptr;

  bool load(PeerLibrary& library) {
    return library.find("LZ4_compressBound", &compress_bound) && library.find("LZ4_compress_default", &compress) &&
           library.find("LZ4_decompress_safe", &decompress);
  }
};

struct ZstdFunctions {
  decltype(&::ZSTD_createCCtx) create_cctx = nullptr;
  decltype(&::ZSTD_createDCtx) create_dctx = nullptr;
  decltype(&::ZSTD_freeCCtx) free_cctx = nullptr;
  decltype(&::ZSTD_freeDCtx) free_dctx = nullptr;
  decltype(&::ZSTD_compressBound) compress_bound = nullptr;
  decltype(&::ZSTD_compressCCtx) compress = nullptr;
  decltype(&::ZSTD_decompressDCtx) decompress = nullptr;
  decltype(&::ZSTD_isError) is_error = nullptr;

  bool load(PeerLibrary& library) {
    return library.find("ZSTD_createCCtx", &create_cctx) && library.find("ZSTD_createDCtx", &create_dctx) &&
           library.find("ZSTD_freeCCtx", &free_cctx) && library.find("ZSTD_freeDCtx", &free_dctx) &&
           library.find("ZSTD_compressBound", &compress_bound) && library.find("ZSTD_compressCCtx", &compress) &&
           library.find("ZSTD_decompressDCtx", &decompress) && library.find("ZSTD_isError", &is_error);
  }
};

struct LzoFunctions {
  decltype(&::__lzo_init_v2) init = nullptr;  // what the lzo_init() macro calls
  decltype(&::lzo1x_1_compress) compress = nullptr;
  decltype(&::lzo1x_decompress_safe) decompress = nullptr;

  bool load(PeerLibrary& library) {
    return library.find("__lzo_init_v2", &init) && library.find("lzo1x_1_compress", &compress) &&
           library.find("lzo1x_decompress_safe", &decompress);
  }
};

// Raw deflate (no zlib or gzip wrapper), one stream per block; the streams are set up once and
// reset per block, as a caller coding many blocks would.
class Zlib final : public BenchCodec {
 public:
  Zlib(const ZlibFunctions& z, int level) : z_(z) {
    name_ = "zlib -" + std::to_string(level);
    std::memset(&deflater_, 0, sizeof deflater_);
    std::memset(&inflater_, 0, sizeof inflater_);
    const int stream_size = static_cast<int>(sizeof(z_stream));
    deflate_ok_ = z_.deflate_init(&deflater_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY, ZLIB_VERSION,
                                  stream_size) == Z_OK;
    inflate_ok_ = z_.inflate_init(&inflater_, -15, ZLIB_VERSION, stream_size) == Z_OK;
  }
  ~Zlib() override {
    if (deflate_ok_) z_.deflate_end(&deflater_);
    if (inflate_ok_) z_.inflate_end(&inflater_);
  }
  Zlib(const Zlib&) = delete;
  Zlib& operator=(const Zlib&) = delete;

  const char* name() const override { return name_.c_str(); }
  size_t bound(size_t n) const override { return z_.compress_bound(static_cast<uLong>(n)); }
  size_t encode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    if (!deflate_ok_ || z_.deflate_reset(&deflater_) != Z_OK) return 0;
    deflater_.next_in = const_cast<Bytef*>(src);
    deflater_.avail_in = static_cast<uInt>(n);
    deflater_.next_out = dst;
    deflater_.avail_out = static_cast<uInt>(capacity);
    if (z_.deflate(&deflater_, Z_FINISH) != Z_STREAM_END) return 0;
    return capacity - deflater_.avail_out;
  }
  size_t decode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    if (!inflate_ok_ || z_.inflate_reset(&inflater_) != Z_OK) return ~size_t{0};
    inflater_.next_in = const_cast<Bytef*>(src);
    inflater_.avail_in = static_cast<uInt>(n);
    inflater_.next_out = dst;
    inflater_.avail_out = static_cast<uInt>(capacity);
    if (z_.inflate(&inflater_, Z_FINISH) != Z_STREAM_END) return ~size_t{0};
    return capacity - inflater_.avail_out;
  }

 private:
  const ZlibFunctions& z_;
  std::string name_;
  z_stream deflater_;
  z_stream inflater_;
  bool deflate_ok_ = false;
  bool inflate_ok_ = false;
};

class Lz4 final : public BenchCodec {
 public:
  explicit Lz4(const Lz4Functions& lz4) : lz4_(lz4) {}
  const char* name() const override { return "lz4"; }
  size_t bound(size_t n) const override { return size_t(lz4_.compress_bound(int(n))); }
  size_t encode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    const int r = lz4_.compress(reinterpret_cast<const char*>(src), reinterpret_cast<char*>(dst), int(n),
                                int(capacity));
    return r > 0 ? size_t(r) : 0;
  }
  size_t decode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    const int r = lz4_.decompress(reinterpret_cast<const char*>(src), reinterpret_cast<char*>(dst), int(n),
                                  int(capacity));
    return r >= 0 ? size_t(r) : ~size_t{0};
  }

 private:
  const Lz4Functions& lz4_;
};

class Zstd final : public BenchCodec {
 public:
  explicit Zstd(const ZstdFunctions& zstd) : zstd_(zstd), cctx_(zstd.create_cctx()), dctx_(zstd.create_dctx()) {}
  ~Zstd() override {
    zstd_.free_cctx(cctx_);
    zstd_.free_dctx(dctx_);
  }
  Zstd(const Zstd&) = delete;
  Zstd& operator=(const Zstd&) = delete;

  const char* name() const override { return "zstd -1"; }
  size_t bound(size_t n) const override { return zstd_.compress_bound(n); }
  size_t encode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    if (cctx_ == nullptr) return 0;
    const size_t r = zstd_.compress(cctx_, dst, capacity, src, n, 1);
    return zstd_.is_error(r) ? 0 : r;
  }
  size_t decode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    if (dctx_ == nullptr) return ~size_t{0};
    const size_t r = zstd_.decompress(dctx_, dst, capacity, src, n);
    return zstd_.is_error(r) ? ~size_t{0} : r;
  }

 private:
  const ZstdFunctions& zstd_;
  ZSTD_CCtx* cctx_;
  ZSTD_DCtx* dctx_;
};

class Lzo final : public BenchCodec {
 public:
  explicit Lzo(const LzoFunctions& lzo) : lzo_(lzo), work_(LZO1X_1_MEM_COMPRESS) {
    // The arguments lzo_init() passes: the sizes of the types this program was built with.
    ok_ = lzo_.init(LZO_VERSION, int(sizeof(short)), int(sizeof(int)), int(sizeof(long)), int(sizeof(lzo_uint32_t)),
                    int(sizeof(lzo_uint)), int(lzo_sizeof_dict_t), int(sizeof(char*)), int(sizeof(lzo_voidp)),
                    int(sizeof(lzo_callback_t))) == LZO_E_OK;
  }
  const char* name() const override { return "lzo1x-1"; }
  size_t bound(size_t n) const override { return n + n / 16 + 64 + 3; }
  size_t encode(const uint8_t* src, size_t n, uint8_t* dst, size_t /*capacity*/) override {
    lzo_uint len = 0;
    if (!ok_ || lzo_.compress(src, n, dst, &len, work_.data()) != LZO_E_OK) return 0;
    return len;
  }
  size_t decode(const uint8_t* src, size_t n, uint8_t* dst, size_t capacity) override {
    lzo_uint len = capacity;
    if (!ok_ || lzo_.decompress(src, n, dst, &len, nullptr) != LZO_E_OK) return ~size_t{0};
    return len;
  }

 private:
  const LzoFunctions& lzo_;
  std::vector<unsigned char> work_;
  bool ok_ = false;
};

// The peers' libraries, opened for one run of the benchmark; the codecs made from them must not
// outlive it.
struct Peers {
  PeerLibrary zlib{"libz.so.1"};
  PeerLibrary lz4{"liblz4.so.1"};
  PeerLibrary zstd{"libzstd.so.1"};
  PeerLibrary lzo{"liblzo2.so.2"};
  ZlibFunctions zlib_functions;
  Lz4Functions lz4_functions;
  ZstdFunctions zstd_functions;
  LzoFunctions lzo_functions;

  // Adds the peers whose libraries opened whole; says on err which are left out and why, and
  // which Debian package brings each back.
  void add_codecs(std::vector<std::unique_ptr<BenchCodec>>* codecs, const BenchOptions& options, std::FILE* err) {
    const auto left_out = [&](const PeerLibrary& library, const char* codec, const char* package) {
      if (options.notes)
        std::fprintf(err, "%s: %s left out: %s (the %s package brings it)\n", options.program, codec,
                     library.problem().c_str(), package);
    };
    if (zlib_functions.load(zlib)) {
      codecs->push_back(std::make_unique<Zlib>(zlib_functions, 1));
      codecs->push_back(std::make_unique<Zlib>(zlib_functions, 6));
    } else {
      left_out(zlib, "zlib -1 and zlib -6", "zlib1g");
    }
    if (lz4_functions.load(lz4))
      codecs->push_back(std::make_unique<Lz4>(lz4_functions));
    else
      left_out(lz4, "lz4", "liblz4-1");
    if (zstd_functions.load(zstd))
      codecs->push_back(std::make_unique<Zstd>(zstd_functions));
    else
      left_out(zstd, "zstd -1", "libzstd1");
    if (lzo_functions.load(lzo))
      codecs->push_back(std::make_unique<Lzo>(lzo_functions));
    else
      left_out(lzo, "lzo1x-1", "liblzo2-2");
  }
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

  // Declared before the codecs, so that the libraries outlive them.
  std::unique_ptr<Peers> peers;
  std::vector<std::unique_ptr<BenchCodec>> codecs;
  codecs.push_back(std::make_unique<ThisCodec>());
  if (options.peers) {
    peers = std::make_unique<Peers>();
    peers->add_codecs(&codecs, options, err);
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
