# source_library(NAME DEPS...): a static library of every .c/.cpp in the current
# directory (main.cpp excluded), exporting the directory and the project root as
# include paths. The glob is re-checked at build time, so adding a source file
# needs no edit here.
function(source_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  # Files built by another library of the project (SOURCE_LIBRARY_EXCLUDE: names).
  foreach(excluded ${SOURCE_LIBRARY_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "/${excluded}$")
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()
