# The zem program (list, verify, extract, mount) and the archive reader it shares with the tests and
# the fuzz target. Included from the top-level CMakeLists.txt after zemcore is defined.

# Reader and stored-name checks: no platform code, so the fuzz target builds them on their own.
add_library(zemreader STATIC
  src/archive/reader.cpp
  src/archive/stored_name.cpp
)
target_include_directories(zemreader PUBLIC src)
target_link_libraries(zemreader PUBLIC zemformat)
zem_set_compiler_options(zemreader)

# Extraction with its checks, and archive files on disk: shared by the zem program, zem-builder's
# unpacking and the library (cmake/Library.cmake).
add_library(zemextract STATIC
  src/zem/extract.cpp
  src/zem/extract_fs_${ZEM_PLATFORM}.cpp
  src/archive/archive_file_${ZEM_PLATFORM}.cpp
)
target_link_libraries(zemextract PUBLIC zemreader zemcore)
zem_set_compiler_options(zemextract)

add_library(zemtool STATIC
  src/zem/commands.cpp
  src/zem/create.cpp
  src/zem/mount_tree.cpp
)
target_link_libraries(zemtool PUBLIC zemextract zempack)
# zem mount serves archives through libfuse 3 on Linux; elsewhere, or without libfuse, the command
# says it isn't available. CI (CI=true) must build it.
set(zem_mount none)
if(ZEM_SYSTEM STREQUAL "linux")
  find_package(PkgConfig)
  if(PkgConfig_FOUND)
    pkg_check_modules(FUSE3 IMPORTED_TARGET fuse3>=3.12)
  endif()
  if(FUSE3_FOUND)
    set(zem_mount linux)
    target_link_libraries(zemtool PRIVATE PkgConfig::FUSE3)
  elseif("$ENV{CI}" STREQUAL "true")
    message(FATAL_ERROR "libfuse 3 not found (scripts/install-deps.sh installs libfuse3-dev)")
  else()
    message(STATUS "libfuse 3 not found: zem mount is left out")
  endif()
endif()
target_sources(zemtool PRIVATE src/zem/mount_${zem_mount}.cpp)
target_compile_definitions(zemtool PRIVATE ZEM_VERSION="${PROJECT_VERSION}")
# The command line is parsed with CLI11 (libcli11-dev), header-only. The cross build looks for it
# on the build machine, but takes a copy of its one folder: putting the machine's whole
# /usr/include on the Windows include path would let Linux headers stand in for MinGW's.
find_path(ZEM_CLI11_INCLUDE_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT ZEM_CLI11_INCLUDE_DIR)
  message(FATAL_ERROR "CLI11 not found (scripts/install-deps.sh installs libcli11-dev)")
endif()
if(CMAKE_CROSSCOMPILING)
  file(COPY ${ZEM_CLI11_INCLUDE_DIR}/CLI DESTINATION ${PROJECT_BINARY_DIR}/cli11)
  target_include_directories(zemtool SYSTEM PRIVATE ${PROJECT_BINARY_DIR}/cli11)
else()
  target_include_directories(zemtool SYSTEM PRIVATE ${ZEM_CLI11_INCLUDE_DIR})
endif()
zem_set_compiler_options(zemtool)

add_executable(zem src/zem/main.cpp)
target_link_libraries(zem PRIVATE zemtool)
zem_set_compiler_options(zem)
if(WIN32)
  # Into the zip beside zem-builder.exe (cmake/PackageWindows.cmake); statically linked like it.
  install(TARGETS zem RUNTIME DESTINATION .)
endif()

# libFuzzer target for the reader: clang only, on request (scripts/test-fuzz.sh turns it on).
option(ZEM_FUZZ "Build the reader's libFuzzer target (needs clang)" OFF)
if(ZEM_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ZEM_FUZZ needs clang (CXX=clang++), not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  add_executable(zem-reader-fuzz
    tests/fuzz/reader_fuzz.cpp
    src/archive/format.cpp
    src/archive/local_time.cpp
    src/archive/reader.cpp
    src/archive/stored_name.cpp
  )
  target_include_directories(zem-reader-fuzz PRIVATE src)
  target_compile_options(zem-reader-fuzz PRIVATE
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(zem-reader-fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  zem_set_compiler_options(zem-reader-fuzz)
endif()
