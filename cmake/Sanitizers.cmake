if(VX_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(VX_SANITIZE STREQUAL "thread")
    # gcc warns that TSan cannot see atomic_thread_fence, which asio uses; the warning is known.
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
    add_link_options(-fsanitize=thread)
elseif(VX_SANITIZE STREQUAL "fuzzer")
    # clang only: the libraries get libFuzzer's coverage hooks; the fuzz targets link its driver.
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "VX_SANITIZE=fuzzer needs clang (scripts/build fuzz sets it)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(NOT VX_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VX_SANITIZE must be empty, 'address', 'thread' or 'fuzzer'")
endif()
