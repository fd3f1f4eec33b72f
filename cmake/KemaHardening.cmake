# Hardening as Debian builds its packages (dpkg-buildflags, hardening=+all):
# fortified libc calls, stack protector, stack clash protection, control-flow
# protection, PIE and a read-only GOT resolved at start-up. Release builds
# only: sanitizer and fuzz builds keep their own instrumentation and link
# flags, and Debug builds have no optimisation for _FORTIFY_SOURCE to act on.
include_guard(GLOBAL)
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckPIESupported)

string(TOUPPER "${CMAKE_BUILD_TYPE}" _kema_build_type)
if(_kema_build_type MATCHES "^(RELEASE|RELWITHDEBINFO|MINSIZEREL)$" AND NOT KEMA_SANITIZE AND NOT KEMA_FUZZ)
  set(KEMA_HARDENED ON)
else()
  set(KEMA_HARDENED OFF)
endif()
option(KEMA_HARDENING "Harden release builds as Debian packages are" ON)
if(NOT KEMA_HARDENING)
  set(KEMA_HARDENED OFF)
endif()

if(KEMA_HARDENED)
  # Some toolchains predefine it: undefine first so the level is ours.
  add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong)
  foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "KEMA_HAS${flag}" var)
    check_cxx_compiler_flag(${flag} ${var})
    if(${var})
      add_compile_options(${flag})
    endif()
  endforeach()
  # Debian's compilers make PIE by default. Only where one does not is it
  # asked for: the property also turns the static libraries to -fPIC, whose
  # interposable calls cost the readers inlining.
  check_cxx_source_compiles("#ifndef __PIE__\n#error not PIE\n#endif\nint main() {}" KEMA_DEFAULT_PIE)
  if(NOT KEMA_DEFAULT_PIE)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    check_pie_supported(LANGUAGES CXX)
  endif()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
message(STATUS "Hardened build: ${KEMA_HARDENED}")
