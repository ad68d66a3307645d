# The one way the test folders register their GoogleTest cases.
#
#   vb_gtest_cases(<target> [PROPERTIES <prop> <value>...]
#                  [GROUP <filter> [PROPERTIES <prop> <value>...]]...)
#
# Every case of <target> is discovered from the built executable, so a renamed or added case is
# registered under its new name. Names are "<folder>.<Suite>.<Case>" (the test folder's name:
# tests/web gives "web."), without printed parameter values: those hold raw bytes that change
# from build to build. A parameterized case whose name should say what it is gets a name
# generator.
#
# The first PROPERTIES apply to every case. A GROUP takes the cases that match its gtest filter
# (positive patterns, ':'-separated) and no earlier group's, and gives them its own PROPERTIES
# in place of the common ones of the same name. A group that matches no case registers a
# failing test in its place, so that renaming a suite cannot silently take its lock or its
# label away; so does an executable with no case at all.
function(vb_gtest_cases target)
  get_filename_component(folder "${CMAKE_CURRENT_SOURCE_DIR}" NAME)
  set(prefix "${folder}.")

  # Section 0 holds the common properties, section g group g's: the keys in keys_<s>, each value
  # in value_<s>_<key>. ARGV<i> keeps a value that holds a list ("process;no_asan") whole, where
  # ARGN would split it.
  set(keys_0 "")
  set(groups 0)
  set(want_filter FALSE)
  set(key "")
  math(EXPR last "${ARGC} - 1")
  if(last GREATER_EQUAL 1)
    foreach(i RANGE 1 ${last})
      set(arg "${ARGV${i}}")
      if(want_filter)
        if(arg STREQUAL "" OR arg MATCHES "-")
          message(FATAL_ERROR "vb_gtest_cases(${target}): a group's filter is one or more "
                              "positive patterns, not '${arg}'")
        endif()
        set(filter_${groups} "${arg}")
        set(want_filter FALSE)
      elseif(NOT key STREQUAL "")
        set(value_${groups}_${key} "${arg}")
        list(APPEND keys_${groups} ${key})
        set(key "")
      elseif(arg STREQUAL "GROUP")
        math(EXPR groups "${groups} + 1")
        set(keys_${groups} "")
        set(want_filter TRUE)
      elseif(NOT arg STREQUAL "PROPERTIES")
        set(key "${arg}")
      endif()
    endforeach()
  endif()
  if(want_filter OR NOT key STREQUAL "")
    message(FATAL_ERROR "vb_gtest_cases(${target}): a GROUP without its filter or a property "
                        "without its value")
  endif()

  # Each section's properties as bracket-quoted text; a group's replace the common ones of the
  # same name (LABELS would otherwise add up).
  set(earlier "")
  foreach(g RANGE ${groups})
    set(props_${g} "")
    foreach(k IN LISTS keys_0)
      if(g EQUAL 0 OR NOT k IN_LIST keys_${g})
        string(APPEND props_${g} " [==[${k}]==] [==[${value_0_${k}}]==]")
      endif()
    endforeach()
    if(g EQUAL 0)
      continue()
    endif()
    foreach(k IN LISTS keys_${g})
      string(APPEND props_${g} " [==[${k}]==] [==[${value_${g}_${k}}]==]")
    endforeach()
    set(gtest_filter "${filter_${g}}")
    if(earlier)
      list(JOIN earlier ":" taken)
      string(APPEND gtest_filter "-${taken}")
    endif()
    _vb_gtest_discover(${target} "${prefix}" "${gtest_filter}" ${target}_group${g}
                       "${filter_${g}}" "${props_${g}}")
    list(APPEND earlier "${filter_${g}}")
  endforeach()

  # The rest: every case outside the groups. With groups it may be empty; without, it is all.
  if(earlier)
    list(JOIN earlier ":" taken)
    _vb_gtest_discover(${target} "${prefix}" "-${taken}" ${target}_rest "" "${props_0}")
  else()
    _vb_gtest_discover(${target} "${prefix}" "*" ${target}_rest "*" "${props_0}")
  endif()
endfunction()

# One discovery of the cases of <target> that match <gtest_filter>, named in <list_var>, with
# <props> (bracket-quoted text) set on them once ctest has read them. Unless <must_match> is
# empty, a discovery that finds no case registers a failing test named after <must_match>.
function(_vb_gtest_discover target prefix gtest_filter list_var must_match props)
  gtest_discover_tests(${target}
                       TEST_PREFIX "${prefix}"
                       TEST_FILTER "${gtest_filter}"
                       TEST_LIST ${list_var}
                       NO_PRETTY_VALUES
                       NO_PRETTY_TYPES
                       DISCOVERY_TIMEOUT 60)
  # ctest reads this after the file the discovery wrote, which sets <list_var>.
  set(script "if(${list_var})\n")
  if(NOT props STREQUAL "")
    string(APPEND script "  set_tests_properties(\${${list_var}} PROPERTIES${props})\n")
  endif()
  if(NOT must_match STREQUAL "")
    set(name "${prefix}${target}.NoCaseMatches(${must_match})")
    set(fail "${CMAKE_CURRENT_BINARY_DIR}/${list_var}_no_case.cmake")
    file(WRITE "${fail}" "message(FATAL_ERROR [==[${target}: no case matches '${must_match}'; "
                         "was a suite renamed or its cases removed?]==])\n")
    string(APPEND script "else()\n"
           "  add_test([==[${name}]==] [==[${CMAKE_COMMAND}]==] -P [==[${fail}]==])\n")
    if(NOT props STREQUAL "")
      string(APPEND script "  set_tests_properties([==[${name}]==] PROPERTIES${props})\n")
    endif()
  endif()
  string(APPEND script "endif()\n")
  set(check "${CMAKE_CURRENT_BINARY_DIR}/${list_var}_properties.cmake")
  file(WRITE "${check}" "${script}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${check}")
endfunction()
