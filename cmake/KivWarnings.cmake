# Warnings are errors on every target of ours (not on GoogleTest).
function(kiv_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wsign-conversion
    -Wcast-align -Wnull-dereference -Wformat=2)
endfunction()
