# The desktop window, tapline: Qt Widgets with the layouts, icon and glyphs of resources/.
include(GNUInstallDirs)

set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTOUIC ON)
set(CMAKE_AUTORCC ON)
set(CMAKE_AUTOUIC_SEARCH_PATHS ${PROJECT_SOURCE_DIR}/resources)

# Everything but main() is one object library, so that the tests build the same window.
add_library(tapline_window OBJECT
  about_box.cpp
  find_bar.cpp
  hints.cpp
  log_memo.cpp
  main_window.cpp
  main_window_commands.cpp
  main_window_engine.cpp
  main_window_states.cpp
  main_window_tools.cpp
  connection_options.cpp
  connection_table.cpp
  connections_view.cpp
  conversation_pane.cpp
  program.cpp
  screenshot_hook.cpp
  settings.cpp
  system_close.cpp
  typing_limit.cpp
  ${PROJECT_SOURCE_DIR}/resources/main_window.ui
  ${PROJECT_SOURCE_DIR}/resources/about_box.ui
  ${PROJECT_SOURCE_DIR}/resources/tapline.qrc
)
target_link_libraries(tapline_window PUBLIC tapline_engine Qt6::Widgets)
target_compile_definitions(tapline_window PRIVATE TAPLINE_VERSION="${PROJECT_VERSION}")

add_executable(tapline main.cpp)
target_link_libraries(tapline PRIVATE tapline_window)
target_compile_definitions(tapline PRIVATE TAPLINE_VERSION="${PROJECT_VERSION}")

# Help > Contents looks for the help page in the installation folder (the program's own folder unless the
# machine-wide settings name another), then where Linux programs keep theirs: share/doc/tapline/ beside
# the program's prefix and in the desktop's data folders. The build folder gets a copy beside the program
# so that it works from there too.
set(TAPLINE_HELP_PAGE ${PROJECT_SOURCE_DIR}/resources/help/tapline.html)
add_custom_command(TARGET tapline POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${TAPLINE_HELP_PAGE} $<TARGET_FILE_DIR:tapline>/tapline.html
  VERBATIM)

install(TARGETS tapline RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TAPLINE_HELP_PAGE} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tapline)
install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/tapline.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/resources/tapline.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/example.fenwold.Tapline.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The window under a flood of log text (bench/window_flood.sh runs it).
add_executable(tapline-window-flood ${PROJECT_SOURCE_DIR}/bench/window_flood.cpp
  ${PROJECT_SOURCE_DIR}/bench/window_flood_peers.cpp)
target_link_libraries(tapline-window-flood PRIVATE tapline_window Qt6::Test)
