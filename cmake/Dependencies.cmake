find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
# spdlog is used one way in every unit of a build. A unit that includes its headers in another
# mode than the rest builds a copy of its own, with a logger registry of its own: in an
# optimised build that unit's lines go to the copy's default logger (the console), not the
# agent's. So the chosen mode's definitions reach every unit, not only those that link it.
# The system's compiled library is the one used, except in the ThreadSanitizer build: TSan sees
# nothing inside a library not built with it, and would take the registry's start on first use
# from two threads for a race. There every binary builds spdlog from its headers (the library
# is still linked, but nothing binds to it).
if(VX_SANITIZE STREQUAL "thread")
    get_target_property(vx_spdlog_definitions spdlog::spdlog_header_only
                        INTERFACE_COMPILE_DEFINITIONS)
    set_target_properties(spdlog::spdlog PROPERTIES
                          INTERFACE_COMPILE_DEFINITIONS "${vx_spdlog_definitions}")
endif()
get_target_property(vx_spdlog_definitions spdlog::spdlog INTERFACE_COMPILE_DEFINITIONS)
add_compile_definitions(${vx_spdlog_definitions})
find_package(X11 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)

# Standalone asio is header-only and ships no CMake package.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(vx_asio INTERFACE)
target_include_directories(vx_asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
# asio picks aligned_alloc or operator new by whether a C++ library header came before its own;
# translation units that disagree free each other's recycled handler memory with the wrong call.
# One choice for every unit keeps them in step.
target_compile_definitions(vx_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED
    ASIO_DISABLE_STD_ALIGNED_ALLOC)
target_link_libraries(vx_asio INTERFACE Threads::Threads)
