# Warnings for the project's own targets; generated Thrift code gets none of them.
function(vb_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()
