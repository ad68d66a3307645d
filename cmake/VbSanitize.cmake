if(VB_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VB_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VB_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VB_SANITIZE must be empty, address or thread")
endif()

# GCC warns that TSan does not model the fences inside Boost.Asio; the warning is about the
# library's headers and says nothing about our code. For the targets built on Asio, and what
# links them.
function(vb_asio_target target)
  if(VB_SANITIZE STREQUAL "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PUBLIC -Wno-tsan)
  endif()
endfunction()
