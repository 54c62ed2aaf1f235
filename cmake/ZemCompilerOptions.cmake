# Warnings for every target of ours; -Werror and the sanitizers on request (CI turns both on).
option(ZEM_WERROR "Treat compiler warnings as errors" OFF)
option(ZEM_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

function(zem_set_compiler_options target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
    if(ZEM_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
    return()
  endif()
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # clang's -Wconversion also takes in sign conversions, which GCC's leaves out for C++: keep
    # both compilers to the same set.
    target_compile_options(${target} PRIVATE -Wno-sign-conversion)
  endif()
  if(ZEM_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(ZEM_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
