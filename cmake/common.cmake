# Settings every part of the build shares, the 32-bit build's and the 64-bit
# sub-build's: the language, the build type, warnings, the Windows headers'
# view, and runtimes linked in, so programs import Windows system DLLs only.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
    set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()
add_compile_options(-Wall -Wextra -Wno-unknown-pragmas)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
set(CORVANEL_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
