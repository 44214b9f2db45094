# Warnings and sanitizers applied to every target of the project.
add_library(vexo_options INTERFACE)
target_compile_features(vexo_options INTERFACE cxx_std_20)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  # A switch over an enumeration must name every value (the HTTP client's error codes map to
  # their messages that way): the build fails on a missing one.
  target_compile_options(vexo_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                                -Wno-sign-conversion -Werror=switch)
endif()
if(VEXO_SANITIZE)
  target_compile_options(vexo_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                -fno-sanitize-recover=undefined)
  target_link_options(vexo_options INTERFACE -fsanitize=address,undefined)
endif()
if(NOT WIN32 AND NOT VEXO_SANITIZE AND NOT VEXO_BUILD_FUZZ)
  # The hardening Debian builds its packages with: checked buffer functions, stack protection,
  # and a read-only relocation table resolved at start.
  target_compile_options(vexo_options INTERFACE $<$<CONFIG:Release>:-D_FORTIFY_SOURCE=2>
                                                $<$<CONFIG:Release>:-fstack-protector-strong>)
  target_link_options(vexo_options INTERFACE $<$<CONFIG:Release>:LINKER:-z,relro,-z,now>)
endif()
if(VEXO_BUILD_FUZZ)
  # Coverage feedback from every library the fuzz targets reach, not only from the targets.
  target_compile_options(vexo_options INTERFACE -fsanitize=fuzzer-no-link)
endif()
if(WIN32)
  # Wide Win32 entry points everywhere, no min/max macros, Windows 7 API level.
  target_compile_definitions(vexo_options INTERFACE UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN
                                                    _WIN32_WINNT=0x0601)
  target_link_options(vexo_options INTERFACE -static -static-libgcc -static-libstdc++
                                             $<$<CONFIG:Release,MinSizeRel>:-s>)
endif()

