# tesk_dialog_program(PROGRAM BATCH_LIB PLUGIN SOURCES...)
# The program links its batch library and every library below it whole and
# exports their symbols; the plugin holds the dialog sources and the window
# layer (tesksavelib_ui, tesk_ui, tesk_mapi_ui, tesk_icons) and takes
# everything else from the program that loads it, so that both share one
# copy of every object (the log, the MAPI subsystem, the application).
find_package(Qt6 REQUIRED COMPONENTS Widgets)

function(tesk_dialog_program program batch plugin)
  add_executable(${program} ${PROJECT_SOURCE_DIR}/MODULES/${program}/main.cpp)
  target_link_libraries(${program} PRIVATE ${batch})
  set(whole)
  foreach(lib ${batch} tesksavelib teskmapi tesk_mapi tesk_com tesk_win)
    list(APPEND whole $<TARGET_FILE:${lib}>)
  endforeach()
  target_link_options(${program} PRIVATE "LINKER:--whole-archive" ${whole} "LINKER:--no-whole-archive")
  set_target_properties(${program} PROPERTIES ENABLE_EXPORTS ON)

  add_library(${plugin} MODULE ${ARGN}
    $<TARGET_OBJECTS:tesksavelib_ui> $<TARGET_OBJECTS:tesk_ui> $<TARGET_OBJECTS:tesk_mapi_ui>
    $<TARGET_OBJECTS:tesk_icons>)
  foreach(lib ${batch} tesksavelib_ui tesk_ui tesk_mapi_ui tesk_icons)
    target_include_directories(${plugin} PRIVATE $<TARGET_PROPERTY:${lib},INTERFACE_INCLUDE_DIRECTORIES>)
  endforeach()
  target_link_libraries(${plugin} PRIVATE Qt6::Widgets)
  set_target_properties(${plugin} PROPERTIES PREFIX "" SUFFIX ".so"
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  add_dependencies(${program} ${plugin})
  # The help page the dialogs' link opens, next to the program.
  configure_file(${PROJECT_SOURCE_DIR}/docs/tesk-dialogs.html ${CMAKE_CURRENT_BINARY_DIR}/tesk-dialogs.html COPYONLY)
  # Where a copy of the program elsewhere still finds the plugin.
  target_compile_definitions(${batch} PRIVATE TESK_DIALOG_PLUGIN_DIR="${CMAKE_CURRENT_BINARY_DIR}")
endfunction()
