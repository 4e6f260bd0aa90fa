# The self-extracting module and the Windows-side tests and test tools.
enable_language(RC)

# The module is built lean: no exceptions, no RTTI, no unwind tables, our own
# entry point, sections collected away, stripped, runtime linked statically.
# No -fdata-sections: on this target it puts zero-initialised data into
# .data$ sections that take room in the file instead of .bss.
set(MODULE_FLAGS -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-unwind-tables -ffunction-sections -fno-stack-protector)
target_compile_options(cabsfx_portable PRIVATE ${MODULE_FLAGS})

# Resources: the .rc scripts, the manifest and the icons drawn by
# scripts/make_icons.py into the build tree.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(RESOURCE_GEN ${CMAKE_BINARY_DIR}/resources)
add_custom_command(
  OUTPUT ${RESOURCE_GEN}/cabsfx.ico ${RESOURCE_GEN}/replace.ico
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/make_icons.py ${RESOURCE_GEN}
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/make_icons.py
  COMMENT "Drawing the module's icons")
file(GLOB RESOURCE_SCRIPTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/resources/*.rc
  ${CMAKE_SOURCE_DIR}/src/resources/*.h ${CMAKE_SOURCE_DIR}/src/resources/*.manifest)
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/resources/cabsfx.rc PROPERTIES
  OBJECT_DEPENDS "${RESOURCE_GEN}/cabsfx.ico;${RESOURCE_GEN}/replace.ico;${RESOURCE_SCRIPTS}")
add_library(module_resources OBJECT ${CMAKE_SOURCE_DIR}/src/resources/cabsfx.rc)
target_include_directories(module_resources PRIVATE ${CMAKE_SOURCE_DIR}/src/resources ${RESOURCE_GEN})

file(GLOB MODULE_SOURCES CONFIGURE_DEPENDS
  src/startup/*.cpp src/ui/*.cpp src/extract/*.cpp src/actions/*.cpp)
add_executable(cabsfx WIN32 ${MODULE_SOURCES} $<TARGET_OBJECTS:module_resources> ${CABSFX_EXTRA_SOURCES})
# The Windows-side code (not the decoders, whose inner loops these flags
# would change) passes arguments with pushes and keeps frames at the 4-byte
# stack alignment Windows gives: 3.7 KB less code. Pushes need stack probes
# off; no frame here reaches a page (4 KB), which only probes would make safe.
target_compile_options(cabsfx PRIVATE ${MODULE_FLAGS} -mpreferred-stack-boundary=2
  -mno-accumulate-outgoing-args -mno-stack-arg-probe -Wframe-larger-than=4000)
target_compile_definitions(cabsfx PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501 WINVER=0x0501)
target_link_libraries(cabsfx PRIVATE cabsfx_portable comctl32 shell32 ole32 advapi32 user32 kernel32)
# No build time in the PE header: the same sources give the same stub, and
# so the same packages.
target_link_options(cabsfx PRIVATE -static -static-libgcc -static-libstdc++ -s
  -Wl,--gc-sections -nostartfiles -Wl,-e,_process_entry -Wl,--no-insert-timestamp)
set_target_properties(cabsfx PROPERTIES OUTPUT_NAME cabsfx SUFFIX .exe)

# The platform's floor that tests/bench/extract_wine.sh sets the module against.
add_executable(extract_floor tests/bench/extract_floor.cpp)
target_link_options(extract_floor PRIVATE -static -static-libgcc -static-libstdc++)
set_target_properties(extract_floor PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bench)

add_subdirectory(tests/windows)
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/e2e/CMakeLists.txt)
  add_subdirectory(tests/e2e)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()
