# Splits a generated source file into PARTS translation units of about equal size, so that they
# compile in parallel: the generated client is one file of some 70000 lines, the longest single
# compile of the build. The file is a row of top-level function definitions, each ended by a "}"
# at the start of a line, so it is cut only right after such a line. Every part begins with
# the file's own first include.
#
# cmake -DINPUT=file.cpp -DOUTPUT_PREFIX=dir/name_part -DPARTS=n -P split_source.cmake
# writes dir/name_part0.cpp ... dir/name_part<n-1>.cpp (a part may be left with the include only).
if(NOT INPUT OR NOT OUTPUT_PREFIX OR NOT PARTS OR PARTS LESS 1)
  message(FATAL_ERROR "split_source: INPUT, OUTPUT_PREFIX and PARTS (1 or more) are needed")
endif()

file(READ "${INPUT}" text)
string(REGEX MATCH "#include \"[^\"\n]+\"\n" header "${text}")
if(NOT header)
  message(FATAL_ERROR "split_source: ${INPUT} has no #include line to begin each part with")
endif()
string(LENGTH "${text}" size)
math(EXPR part_size "${size} / ${PARTS} + 1")

set(rest "${text}")
math(EXPR last "${PARTS} - 1")
foreach(i RANGE ${last})
  string(LENGTH "${rest}" rest_size)
  if(i EQUAL last OR rest_size LESS_EQUAL part_size)
    set(piece "${rest}")
    set(rest "")
  else()
    # The first definition end at or after the nominal cut.
    string(SUBSTRING "${rest}" ${part_size} -1 tail)
    string(FIND "${tail}" "\n}\n" end)
    if(end EQUAL -1)
      set(piece "${rest}")
      set(rest "")
    else()
      math(EXPR cut "${part_size} + ${end} + 3")
      string(SUBSTRING "${rest}" 0 ${cut} piece)
      string(SUBSTRING "${rest}" ${cut} -1 rest)
    endif()
  endif()
  if(i EQUAL 0)
    set(content "${piece}")
  else()
    set(content "${header}${piece}")
  endif()
  file(WRITE "${OUTPUT_PREFIX}${i}.cpp" "${content}")
endforeach()
