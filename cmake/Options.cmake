# Compiler settings shared by every target of the project (not by third-party code).
set(LAUNCHER_WARNINGS -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wcast-align -Wformat=2 -Werror)

function(launcher_defaults target)
  target_compile_options(${target} PRIVATE ${LAUNCHER_WARNINGS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

if(WIN32)
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  # Static C and C++ runtimes: the launcher must import system DLLs only.
  add_link_options(-static -static-libgcc -static-libstdc++ $<$<CONFIG:Release>:-s>)
elseif(LAUNCHER_SANITIZE AND NOT LAUNCHER_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
