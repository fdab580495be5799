# The hardening that Debian gives its own packages (dpkg-buildflags with
# hardening=+all), as the default of every build type, so that a binary built
# by hand or packaged by CPack is as hardened as one from the archive.
#
# -frecord-gcc-switches keeps each compilation's switches in the binary
# (section .GCC.command.line), where the hardening test reads them back.

include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(
  -fstack-protector-strong
  -fstack-clash-protection
  -frecord-gcc-switches)

# FORTIFY_SOURCE needs the optimiser and only warns without it, so an
# unoptimised (Debug, sanitizer) build goes without.
add_compile_options(
  "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>"
  "$<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>")

# Control-flow protection has a different switch on each architecture.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86)$")
  add_compile_options(-fcf-protection)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  add_compile_options(-mbranch-protection=standard)
endif()

# Full RELRO: relocations resolved at start-up, then the tables made read-only.
add_link_options(LINKER:-z,relro LINKER:-z,now)
