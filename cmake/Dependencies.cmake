find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
# The system's spdlog is a compiled library. A unit that includes its headers without the
# library's definitions builds a header-only copy with a logger registry of its own, and in an
# optimised build its lines go to that copy's default logger (the console), not the agent's.
# Every unit gets the definitions: one that uses spdlog without linking it then fails to link.
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
