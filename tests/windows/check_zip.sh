#!/usr/bin/env bash
# Checks a Windows ZIP the way its users meet it, from the unpacked ZIP alone
# and nothing of the build tree that made it:
#   check_zip.sh ZIP ARCH WORK_DIR [WINE]
# ARCH is i686 or x86_64. The ZIP must hold every file listed below; the
# Microsoft-ABI host (msabi_host.cc, clang for the MSVC target, lld-link, no C
# runtime) must link against its razezir.lib as C++17 and as C++20, and so
# must the same host built against the 0.2.0 header (release-0.2.0); the
# public headers must reject wrong formats at compile time in C++20 for the
# MSVC target; and the CMake package must serve a clang-cl host (tests/consumer
# with tests/windows/clang-cl-msvc.cmake) and a mingw host linked with -static.
# With WINE (the x86-64 Wine loader; the caller keeps a Wine server running
# for WINEPREFIX), the x86-64 hosts also run against the ZIP's DLL and must
# leave the expected logs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
zip=$(realpath "$1") arch=$2 work=$(realpath -m "$3") wine=${4:-}

fail() { echo "FAIL: $zip: $*" >&2; exit 1; }

case $arch in
i686) dlltool_machine=i386 lld_machine=x86 ;;
x86_64) dlltool_machine=i386:x86-64 lld_machine=x64 ;;
*) fail "unknown architecture $arch" ;;
esac
target=$arch-pc-windows-msvc

rm -rf "$work"
mkdir -p "$work/unpacked"
unzip -q "$zip" -d "$work/unpacked"
# CPack puts everything under one directory named after the package.
roots=("$work"/unpacked/*)
if [ ${#roots[@]} -ne 1 ] || [ ! -d "${roots[0]}" ]; then
  fail "expected one top directory, found: ${roots[*]##*/}"
fi
root=${roots[0]}

echo "-- the files a host needs, and the licence"
required=(LICENSE bin/razezir.dll lib/razezir.lib lib/librazezir.dll.a lib/razezir.def
          lib/pkgconfig/razezir.pc lib/cmake/razezir/razezirConfig.cmake
          lib/cmake/razezir/razezirConfigVersion.cmake
          lib/cmake/razezir/razezirTargets.cmake)
for header in "$source_dir"/include/razezir/*.h; do
  required+=("include/razezir/${header##*/}")
done
for file in "${required[@]}"; do
  [ -f "$root/$file" ] || fail "missing $file"
done

echo "-- the Microsoft-ABI host links against lib/razezir.lib ($target)"
# Its only other import, ExitProcess, comes from an import library made from
# the names the host's object imports.
hosts=()
for std in 17 20; do
  obj=$work/msabi_host_cxx$std.obj
  clang++ --target="$target" -std=c++$std -O2 -Wall -Wextra -Werror \
          -I"$root/include" -c "$here/msabi_host.cc" -o "$obj"
  if [ $std = 17 ]; then
    cmake -DOBJ="$obj" -DLLVM_NM=llvm-nm -DRAZEZIR_DEF="$work/imports.def" \
          -DKERNEL32_DEF="$work/kernel32.def" -P "$here/msabi_names.cmake"
    llvm-dlltool -m $dlltool_machine -k -d "$work/kernel32.def" -l "$work/kernel32.lib"
  fi
  lld-link /nologo /machine:$lld_machine /entry:HostMain /subsystem:console \
           /nodefaultlib /out:"$work/msabi_host_cxx$std.exe" "$obj" \
           "$root/lib/razezir.lib" "$work/kernel32.lib"
  hosts+=("$work/msabi_host_cxx$std.exe")
done

echo "-- a host built against the 0.2.0 header links against lib/razezir.lib ($target)"
# Its front ends call the exported varargs functions, which this DLL must
# still export and serve as that release did.
old_host=$work/msabi_host_0.2.0.exe
clang++ --target="$target" -std=c++17 -O2 -Wall -Wextra -Werror \
        -I"$here/release-0.2.0" -c "$here/msabi_host.cc" -o "$work/msabi_host_0.2.0.obj"
lld-link /nologo /machine:$lld_machine /entry:HostMain /subsystem:console \
         /nodefaultlib /out:"$old_host" "$work/msabi_host_0.2.0.obj" \
         "$root/lib/razezir.lib" "$work/kernel32.lib"

echo "-- C++20 for $target rejects formats that do not match their arguments"
for source in "$source_dir"/tests/format_check/*.cc; do
  name=${source##*/}
  [ "$name" = accepts_test.cc ] && continue
  cmake -DCOMPILER=clang++ -DFLAGS=--target="$target" -DSTD=20 \
        -DEXPECT_ERROR=ON -DINCLUDE_DIR="$root/include" -DSOURCE="$source" \
        -P "$source_dir/tests/format_check/expect_compile.cmake" ||
    fail "$name for $target: the compile-time check did not do as expected"
done

echo "-- find_package(razezir) in a clang-cl project ($target) links razezir.lib"
cmake -S "$source_dir/tests/consumer" -B "$work/clang-cl" \
      -DCMAKE_TOOLCHAIN_FILE="$here/clang-cl-msvc.cmake" -DRAZEZIR_MSVC_ARCH="$arch" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$root" \
      -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON \
      -DRAZEZIR_CONSUMER_KERNEL32="$work/kernel32.lib"
cmake --build "$work/clang-cl" --verbose > "$work/clang-cl.log" ||
  { cat "$work/clang-cl.log"; fail "the clang-cl host did not build"; }
grep -q "$root/lib/razezir.lib" "$work/clang-cl.log" ||
  { cat "$work/clang-cl.log"; fail "the clang-cl host was not linked with lib/razezir.lib"; }
[ -f "$work/clang-cl/razezir.dll" ] ||
  fail "\$<TARGET_RUNTIME_DLLS> put no razezir.dll beside the clang-cl host"
hosts+=("$work/clang-cl/consumer.exe")

echo "-- find_package(razezir) in a mingw project ($arch, -static) links librazezir.dll.a"
cmake -S "$source_dir/tests/consumer" -B "$work/mingw" \
      -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-$arch.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$root" \
      -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON -DCMAKE_EXE_LINKER_FLAGS=-static
cmake --build "$work/mingw"
[ -f "$work/mingw/razezir.dll" ] ||
  fail "\$<TARGET_RUNTIME_DLLS> put no razezir.dll beside the mingw host"

if [ -z "$wine" ]; then
  echo "-- not run: no Wine for $arch"
  exit 0
fi
echo "-- the x86-64 hosts run under Wine against bin/razezir.dll"
for host in "${hosts[@]}"; do
  name=$(basename "$host" .exe)
  dir=$(basename "$(dirname "$host")")
  cmake -DHOST="$host" -DDLL="$root/bin/razezir.dll" \
        "-DEMULATOR=bash|$source_dir/cmake/run_under_wine.sh|$wine" \
        -DWORK_DIR="$work/run-$dir-$name" -DEXPECTED_DIR="$here/expected" \
        -P "$here/run_msabi_host.cmake"
done
cmake -DHOST="$old_host" -DDLL="$root/bin/razezir.dll" \
      "-DEMULATOR=bash|$source_dir/cmake/run_under_wine.sh|$wine" \
      -DWORK_DIR="$work/run-0.2.0" -DEXPECTED_DIR="$here/expected" \
      "-DLOGS=msabi_main|msabi_module|msabi_thread" -P "$here/run_msabi_host.cmake"
(cd "$work/mingw" && bash "$source_dir/cmake/run_under_wine.sh" "$wine" consumer.exe) ||
  fail "the mingw host failed under Wine"
echo "-- $zip: all checks passed"
