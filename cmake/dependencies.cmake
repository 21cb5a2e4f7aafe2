# The libraries the project builds on, found once, for every folder.
#   CLI11 and nlohmann-json: header-only, through their CMake packages.
#   toml++: header-only, its include folder found directly.
#   GoogleTest (with K4471_TESTS): the installed package on the native build;
#   the Windows cross build compiles it from its sources (see below).
find_package(Threads REQUIRED)
find_package(CLI11 REQUIRED)
find_package(nlohmann_json REQUIRED)
# The station console's HTTP server: Debian's cpp-httplib, a native library
# (libcpp-httplib-dev), on the native build only; the Windows cross build has
# no console.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CPPHTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  set(K4471_CONSOLE_HTTP ON)
else()
  set(K4471_CONSOLE_HTTP OFF)
endif()

if(CMAKE_CROSSCOMPILING)
  # The two header-only packages are the build machine's, so their include
  # folder is the build machine's /usr/include. Searched before MinGW-w64's own
  # headers, it would put the host's C library in their place: the cross build
  # searches it after them (-idirafter), which finds CLI/ and nlohmann/ and
  # nothing that MinGW-w64 provides itself.
  foreach(header_only IN ITEMS CLI11::CLI11 nlohmann_json::nlohmann_json)
    get_target_property(include_dirs ${header_only} INTERFACE_INCLUDE_DIRECTORIES)
    list(REMOVE_DUPLICATES include_dirs)
    set(after_system)
    foreach(dir IN LISTS include_dirs)
      list(APPEND after_system "SHELL:-idirafter ${dir}")
    endforeach()
    set_target_properties(${header_only} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ""
                                                    INTERFACE_COMPILE_OPTIONS "${after_system}")
  endforeach()
endif()

# The station file's TOML reader: Debian's toml++ (libtomlplusplus-dev), used
# header-only and without exceptions on both builds (Debian's CMake package
# would link its native library). The cross build finds it after MinGW-w64's
# own headers, as above.
find_path(K4471_TOMLPLUSPLUS_INCLUDE_DIR toml++/toml.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
          REQUIRED)
add_library(k4471_toml INTERFACE)
target_compile_definitions(k4471_toml INTERFACE TOML_HEADER_ONLY=1 TOML_EXCEPTIONS=0)
if(CMAKE_CROSSCOMPILING)
  target_compile_options(k4471_toml INTERFACE "SHELL:-idirafter ${K4471_TOMLPLUSPLUS_INCLUDE_DIR}")
else()
  target_include_directories(k4471_toml SYSTEM INTERFACE ${K4471_TOMLPLUSPLUS_INCLUDE_DIR})
endif()

if(K4471_TESTS)
  enable_testing()
  include(GoogleTest)
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest REQUIRED)
  else()
    # The installed GoogleTest libraries are built for the build machine, not
    # for Windows: the cross build compiles GoogleTest from its sources, which
    # Debian's googletest package installs (tools/install-deps). Local only, no
    # download.
    set(K4471_GOOGLETEST_SOURCE_DIR "/usr/src/googletest"
        CACHE PATH "GoogleTest's sources, compiled for the Windows tests")
    if(NOT EXISTS "${K4471_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
      message(FATAL_ERROR "No GoogleTest sources at K4471_GOOGLETEST_SOURCE_DIR="
                          "${K4471_GOOGLETEST_SOURCE_DIR}: run tools/install-deps, or set it")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    include(FetchContent)
    FetchContent_Declare(googletest SOURCE_DIR "${K4471_GOOGLETEST_SOURCE_DIR}" SYSTEM)
    FetchContent_MakeAvailable(googletest)
  endif()
endif()
