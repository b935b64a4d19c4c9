# What the Windows tree (preset "windows", toolchain cmake/mingw-w64-x86_64.cmake) needs besides
# its compilers. Included before the project's warnings, so GoogleTest is built with its own.
#
# - fmt: Debian's libfmt is built for the host, but its headers work on their own in fmt's
#   header-only mode (FMT_HEADER_ONLY). The tree sees them through a folder that holds only a
#   link to them, so no other host header can reach the cross compiler.
# - GoogleTest: compiled here from the sources that Debian's googletest package installs, with
#   the same toolchain. Nothing is downloaded.
# - Host tools: a small Linux build inside this tree (build/windows/host) for the programs that
#   run on the build machine: the picture drawer, the resource script writer and the firmware
#   image maker (build steps), and for the tests under Wine the simulated receiver, the
#   pseudo-terminal broker and the modem-line shim.
# - Wine: every test program of this tree runs through build/windows/wine/run-under-wine
#   (CMAKE_CROSSCOMPILING_EMULATOR), which keeps a private Wine prefix inside the tree.

# ---- fmt, header-only ----------------------------------------------------------------------------
set(REFLASHER_FMT_HEADERS /usr/include/fmt CACHE PATH "fmt's headers (Debian's libfmt-dev), used header-only")
if(NOT EXISTS ${REFLASHER_FMT_HEADERS}/printf.h)
  message(FATAL_ERROR "fmt's headers are missing at ${REFLASHER_FMT_HEADERS} (Debian package libfmt-dev)")
endif()
set(fmt_only ${CMAKE_BINARY_DIR}/fmt-headers)
file(MAKE_DIRECTORY ${fmt_only})
file(CREATE_LINK ${REFLASHER_FMT_HEADERS} ${fmt_only}/fmt SYMBOLIC)
add_library(fmt::fmt INTERFACE IMPORTED)
set_target_properties(fmt::fmt PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${fmt_only}
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${fmt_only}
  INTERFACE_COMPILE_DEFINITIONS FMT_HEADER_ONLY)

# ---- nlohmann_json and CLI11, header-only ---------------------------------------------------------
# The service bench's JSON and command line (service/), from Debian's headers in the same way: a
# folder that holds only a link to each.
foreach(headers IN ITEMS nlohmann CLI)
  set(REFLASHER_${headers}_HEADERS /usr/include/${headers} CACHE PATH "${headers}'s headers (Debian), used header-only")
  if(NOT EXISTS ${REFLASHER_${headers}_HEADERS})
    message(FATAL_ERROR "${headers}'s headers are missing at ${REFLASHER_${headers}_HEADERS} (Debian package nlohmann-json3-dev or libcli11-dev)")
  endif()
  set(only ${CMAKE_BINARY_DIR}/${headers}-headers)
  file(MAKE_DIRECTORY ${only})
  file(CREATE_LINK ${REFLASHER_${headers}_HEADERS} ${only}/${headers} SYMBOLIC)
endforeach()
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/nlohmann-headers
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/nlohmann-headers)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/CLI-headers
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/CLI-headers)

# ---- GoogleTest from Debian's sources ------------------------------------------------------------
set(REFLASHER_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian package googletest)")
if(NOT EXISTS ${REFLASHER_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest's sources are missing at ${REFLASHER_GOOGLETEST_SOURCE} (Debian package googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# It defines the GTest::gtest and GTest::gtest_main names that the suites link.
add_subdirectory(${REFLASHER_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# ---- Host tools ----------------------------------------------------------------------------------
include(ExternalProject)
set(REFLASHER_HOST_DIR ${CMAKE_BINARY_DIR}/host)
set(REFLASHER_HOST_BIN ${REFLASHER_HOST_DIR}/bin)
set(REFLASHER_HOST_MKFIRMWARE ${REFLASHER_HOST_BIN}/mkfirmware)
set(REFLASHER_HOST_DRAW_PICTURES ${REFLASHER_HOST_DIR}/res/reflasher_draw_pictures)
set(REFLASHER_HOST_MAKE_RESOURCES ${REFLASHER_HOST_DIR}/res/reflasher_make_resources)
set(REFLASHER_HOST_RECEIVER_SIM ${REFLASHER_HOST_BIN}/receiver-sim)
set(REFLASHER_HOST_PTY_BROKER ${REFLASHER_HOST_BIN}/reflasher-pty-broker)
set(REFLASHER_MODEM_SHIM ${REFLASHER_HOST_BIN}/libreflasher-modem-shim.so)
ExternalProject_Add(reflasher_host_tools
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${REFLASHER_HOST_DIR}
  CMAKE_GENERATOR ${CMAKE_GENERATOR}
  CMAKE_ARGS -DREFLASHER_HOST_TOOLS_ONLY=ON -DCMAKE_BUILD_TYPE=Release -DREFLASHER_WERROR=${REFLASHER_WERROR}
             -DREFLASHER_FIRMWARE_VIZ=${REFLASHER_FIRMWARE_VIZ} -DREFLASHER_FIRMWARE_OTHER=${REFLASHER_FIRMWARE_OTHER}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_CONFIGURE ON
  USES_TERMINAL_BUILD ON
  BUILD_BYPRODUCTS
    ${REFLASHER_HOST_MKFIRMWARE} ${REFLASHER_HOST_DRAW_PICTURES} ${REFLASHER_HOST_MAKE_RESOURCES}
    ${REFLASHER_HOST_RECEIVER_SIM}
    ${REFLASHER_HOST_PTY_BROKER} ${REFLASHER_MODEM_SHIM})

# ---- Tests under Wine ----------------------------------------------------------------------------
set(REFLASHER_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
# COM1 to COM<n> are mapped for the tests; the machine's own serial ports come after them.
set(REFLASHER_WINE_COM_PORTS 64)
configure_file(${CMAKE_SOURCE_DIR}/tests/wine/run-under-wine.in ${REFLASHER_WINE_DIR}/run-under-wine
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${REFLASHER_WINE_DIR}/run-under-wine)
