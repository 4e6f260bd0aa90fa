# The tool's own test in tests/unit runs the built tool: hand it the tool's
# path once all targets exist (tests/unit is processed after tools/).
function(cabsfx_wire_tool_test)
  if(TARGET tool_cli_test AND TARGET cabsfx-tool)
    target_compile_definitions(tool_cli_test PRIVATE
      CABSFX_TOOL_PATH="$<TARGET_FILE:cabsfx-tool>")
    add_dependencies(tool_cli_test cabsfx-tool)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL cabsfx_wire_tool_test)
# The extraction's link-race tests drive the output tree directly.
function(cabsfx_wire_output_tree_test)
  if(TARGET tool_cli_test AND TARGET cabsfx-tool)
    target_sources(tool_cli_test PRIVATE ${CMAKE_SOURCE_DIR}/tools/cabsfx-tool/output_tree.cpp
                                         ${CMAKE_SOURCE_DIR}/tools/cabsfx-tool/select.cpp
                                         ${CMAKE_SOURCE_DIR}/tools/cabsfx-tool/interrupt.cpp)
    target_include_directories(tool_cli_test PRIVATE ${CMAKE_SOURCE_DIR}/tools/cabsfx-tool)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL cabsfx_wire_output_tree_test)
