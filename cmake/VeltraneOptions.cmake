# The one place that sets the language level, warnings and sanitizers for every target.
add_library(veltrane_options INTERFACE)
target_compile_features(veltrane_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)

if(MSVC)
    target_compile_options(veltrane_options INTERFACE /W4 /permissive- /utf-8)
    if(VELTRANE_WERROR)
        target_compile_options(veltrane_options INTERFACE /WX)
    endif()
else()
    target_compile_options(veltrane_options INTERFACE
        -Wall -Wextra -Wpedantic -Wold-style-cast -Wnon-virtual-dtor -Wshadow)
    if(VELTRANE_WERROR)
        target_compile_options(veltrane_options INTERFACE -Werror)
    endif()
    if(VELTRANE_SANITIZE)
        target_compile_options(veltrane_options INTERFACE
            -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
        target_link_options(veltrane_options INTERFACE -fsanitize=address,undefined)
    endif()
endif()
