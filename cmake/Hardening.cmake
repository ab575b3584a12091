# Debian 12's hardening (dpkg-buildflags with hardening=+all) for every
# program here: position-independent executables, stack protection,
# fortified C library calls wherever the build optimises, and read-only
# relocations with immediate binding. Ours come first on each command line,
# so flags that a packager passes in (CXXFLAGS, LDFLAGS) have the last word.
include(CheckPIESupported)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

# -Werror=format-security means nothing without -Wformat, and GCC then
# rejects it, which fails CMake's compile checks (find_package(benchmark)).
set(CMAKE_CXX_FLAGS "-fstack-protector-strong -Wformat -Werror=format-security ${CMAKE_CXX_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS "-Wl,-z,relro -Wl,-z,now ${CMAKE_EXE_LINKER_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS "-Wl,-z,relro -Wl,-z,now ${CMAKE_SHARED_LINKER_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS "-Wl,-z,relro -Wl,-z,now ${CMAKE_MODULE_LINKER_FLAGS}")

# Fortification needs optimisation, and the sanitizers check the same calls.
if(NOT VDU_SANITIZE AND NOT VDU_FUZZ)
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()
