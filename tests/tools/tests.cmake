# The tool's suites drive its commands and parsers in-process too.
file(GLOB TOOL_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/tst_*.cpp)
foreach(source IN LISTS TOOL_TESTS)
    get_filename_component(name ${source} NAME_WE)
    target_link_libraries(${name} PRIVATE TarnwickTool)
endforeach()
