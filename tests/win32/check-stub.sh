#!/bin/sh
# Checks the built launcher as a file, without running it: a GUI program for the expected CPU,
# importing only system DLLs, within 46 KiB (for the shipped 32-bit stub), marked for address
# randomisation and no-execute data, without a time stamp, with its manifest (asInvoker), its
# version, the progress window's template 102 and icon group 107 in its resources.
#   check-stub.sh LAUNCHER.EXE i686|x86_64 OBJDUMP
set -u
exe=$1 arch=$2 objdump=$3
failed=0
fail() { echo "FAIL: $exe: $*"; failed=1; }

case $arch in
  i686) want='PE32 executable (GUI) Intel 80386' ;;
  *) want='PE32+ executable (GUI) x86-64' ;;
esac
kind=$(file -b "$exe")
case $kind in
  "$want"*) ;;
  *) fail "is '$kind', not '$want'" ;;
esac

imports=$("$objdump" -p "$exe" | sed -n 's/.*DLL Name: //p')
[ -n "$imports" ] || fail "lists no imports"
for dll in $imports; do
  case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | msvcrt.dll) ;;
    *) fail "imports $dll, which is not a system DLL" ;;
  esac
done

size=$(stat -c %s "$exe")
echo "$exe: $size bytes; imports: $(echo $imports)"
if [ "$arch" = i686 ] && [ "$size" -gt 47104 ]; then fail "$size bytes, over 46 KiB"; fi

headers=$("$objdump" -p "$exe")
for flag in DYNAMIC_BASE NX_COMPAT; do
  echo "$headers" | grep -qw "$flag" || fail "is not marked $flag"
done
echo "$headers" | grep -q 'Time/Date.*1970' || fail "carries a time stamp (the build is not reproducible)"

# The library search is restricted first thing: SetDefaultDllDirectories is looked up by name
# (older systems lack it), SetDllDirectoryW is the fallback.
grep -q SetDefaultDllDirectories "$exe" || fail "never looks up SetDefaultDllDirectories"
echo "$headers" | grep -q SetDllDirectoryW || fail "does not import SetDllDirectoryW"

manifest=$(wrestool -x --raw --type=24 --name=1 "$exe" 2>/dev/null)
echo "$manifest" | grep -q 'level="asInvoker"' || fail "has no manifest asking for asInvoker"
echo "$manifest" | grep -q '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a' || fail "manifest does not name Windows 10"
wrestool -l "$exe" | grep -q -- '--type=16 --name=1' || fail "has no version resource"

# The template begins with its style word, 0x00C008C2, little-endian.
style=$(wrestool -x --raw --type=5 --name=102 "$exe" | od -An -tx1 -N4 | tr -d ' \n')
[ "$style" = c208c000 ] || fail "dialog 102 starts '$style', not the style word c208c000"
wrestool -l "$exe" | grep -q -- '--type=14 --name=107' || fail "has no icon group 107"

[ $failed = 0 ] && echo "launcher stub checks passed"
exit $failed
