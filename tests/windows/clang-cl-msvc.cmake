# Configures a project for Windows with Microsoft's ABI, compiled by clang-cl
# and linked by lld-link, on a machine that has neither Microsoft's C runtime
# nor its SDK libraries: the razezir package's consumer (tests/consumer) built
# as a Visual Studio host would be. RAZEZIR_MSVC_ARCH is i686 or x86_64.
#
# Without those libraries nothing with a C runtime links, so CMake checks the
# compiler by making a static library instead of a program, and links no
# system libraries by default; the host names its own (tests/consumer). No
# manifest is made: that needs llvm-mt built with libxml2.
set(CMAKE_SYSTEM_NAME Windows)
set(RAZEZIR_MSVC_ARCH x86_64 CACHE STRING "Target architecture: i686 or x86_64")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RAZEZIR_MSVC_ARCH)
if(RAZEZIR_MSVC_ARCH STREQUAL "i686")
  set(CMAKE_SYSTEM_PROCESSOR X86)
else()
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
endif()

find_program(RAZEZIR_CLANG_CL NAMES clang-cl clang-cl-14 REQUIRED)
find_program(RAZEZIR_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
find_program(RAZEZIR_LLVM_LIB NAMES llvm-lib llvm-lib-14 REQUIRED)
set(CMAKE_CXX_COMPILER ${RAZEZIR_CLANG_CL})
set(CMAKE_CXX_COMPILER_TARGET ${RAZEZIR_MSVC_ARCH}-pc-windows-msvc)
set(CMAKE_LINKER ${RAZEZIR_LLD_LINK})
set(CMAKE_AR ${RAZEZIR_LLVM_LIB})

set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_EXE_LINKER_FLAGS_INIT /manifest:no)

# A static library links nothing, so every library "exists" to CMake's link
# checks; FindThreads would take a pthreads library that Windows lacks. The
# answers Microsoft's tools give:
set(CMAKE_HAVE_PTHREADS_CREATE FALSE CACHE INTERNAL "no pthreads library with MSVC")
set(CMAKE_HAVE_PTHREAD_CREATE FALSE CACHE INTERNAL "no pthread library with MSVC")
