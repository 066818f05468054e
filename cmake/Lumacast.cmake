# Every folder under src/ is one static library whose sources are the folder's own files, so
# that adding a file never means editing a shared list.
function(lumacast_library name)
  cmake_parse_arguments(ARG "" "" "LIBS;EXCLUDE" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  foreach(_ex ${ARG_EXCLUDE})
    list(FILTER _srcs EXCLUDE REGEX "/${_ex}$")
  endforeach()
  list(FILTER _srcs INCLUDE REGEX "\\.(cpp|h)$")
  set(_cpps ${_srcs})
  list(FILTER _cpps INCLUDE REGEX "\\.cpp$")
  if(NOT _cpps)
    # A folder whose first sources have not landed yet still links.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_LIBS})
    return()
  endif()
  add_library(${name} STATIC ${_srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

# One GoogleTest executable per test folder; ctest lists its cases one by one.
function(lumacast_test name)
  cmake_parse_arguments(ARG "" "" "LIBS;SOURCES" ${ARGN})
  if(NOT ARG_SOURCES)
    file(GLOB ARG_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE lumacast_test_support ${ARG_LIBS})
  if(TARGET lumacast_tsan_vfork_as_fork)
    target_link_libraries(${name} PRIVATE lumacast_tsan_vfork_as_fork)
  endif()
  # Tests that drive the shared X display or the PulseAudio server (grabs, focus, key presses,
  # sinks) must not run beside each other.
  set(_props TIMEOUT 300)
  if(CMAKE_CURRENT_SOURCE_DIR MATCHES "/(x11|audio|capture|dialogs|review|overlays|app|e2e|control/rig)(/[a-z]+)?$")
    list(APPEND _props RESOURCE_LOCK rig)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${_props})
endfunction()
