# SPDX-License-Identifier: MIT
# The page fetcher against the curl command line; included from
# bench/CMakeLists.txt. The loopback page server is cpp-httplib, which Debian
# ships as a compiled library.
if(NOT TARGET PkgConfig::CPP_HTTPLIB)
  pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
endif()
add_executable(fetch_bench ${CMAKE_CURRENT_LIST_DIR}/fetch_bench.cpp)
target_link_libraries(fetch_bench PRIVATE kestrune_web benchmark::benchmark PkgConfig::CPP_HTTPLIB Threads::Threads)
kestrune_warnings(fetch_bench)
