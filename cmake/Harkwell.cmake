# harkwell_library(<name> LIBS <deps...> [EXCLUDE <subfolders...>]): one static library of every
# source in the calling folder (subfolders included, but for those excluded, which build a target
# of their own), so a new file needs no edit here.
function(harkwell_library name)
  cmake_parse_arguments(ARG "" "" "LIBS;EXCLUDE" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  list(FILTER sources INCLUDE REGEX "\\.cpp$|\\.h$")
  foreach(folder IN LISTS ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "^${CMAKE_CURRENT_SOURCE_DIR}/${folder}/")
  endforeach()
  set(compiled ${sources})
  list(FILTER compiled INCLUDE REGEX "\\.cpp$")
  if(compiled)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  else()
    # A folder whose subsystem has no code yet still links as a layer.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_LIBS})
  endif()
endfunction()

# harkwell_test(<name> SOURCES <files...> LIBS <deps...> [LABELS <labels...>] [XVFB]):
# one Qt Test program registered with CTest. Every test runs with a private HOME and no display
# unless it asks for a virtual X server.
function(harkwell_test name)
  cmake_parse_arguments(ARG "XVFB;SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} harkwell_test_support Qt6::Test)
  if(ARG_XVFB)
    add_test(NAME ${name} COMMAND xvfb-run -a -s "-screen 0 1280x800x24 -noreset" $<TARGET_FILE:${name}>)
    # The server must not reset when a test's last connection closes, or the next one is refused;
    # and xvfb-run -a picks a free display number racily, so two must not start at once.
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK xvfb)
  else()
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
  if(ARG_SERIAL)
    # Real-time work against a live server: other tests' load makes it miss its deadlines.
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()
