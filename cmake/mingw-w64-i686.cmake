# Cross-compiles for i686 Windows with mingw-w64. Everything that shapes
# razezir.dll (its name, exports and static runtime) is in CMakeLists.txt; this
# file only names the target system and the compilers. The -posix compilers
# are used because the tests need std::thread, which the win32 thread model
# of this mingw-w64 release lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
