# The desktop program qipfinder: the controller library (linked by the tests), the window,
# the bundle folder <build>/share/qipfinder (Info.plist and translations) and install rules.
find_package(Qt6 REQUIRED COMPONENTS Widgets Network LinguistTools)
find_package(PkgConfig REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
find_package(ICU REQUIRED COMPONENTS uc i18n)

set(QIPFINDER_BUNDLE_DIR ${CMAKE_BINARY_DIR}/share/qipfinder)

add_library(qipcontroller STATIC
  QipAboutDate.cpp
  QipBundle.cpp
  QipCommandLine.cpp
  QipController.cpp
  QipControllerProbe.cpp
  QipControllerHandOff.cpp
  QipControllerKnown.cpp
  QipControllerStates.cpp
  QipCutTextDelegate.cpp
  QipDesktopWorkspace.cpp
  QipDeviceColumns.cpp
  QipDeviceExport.cpp
  QipDeviceTable.cpp
  QipDeviceTableModel.cpp
  QipDeviceTableModelRows.cpp
  QipDeviceTableProxy.cpp
  QipHelpText.cpp
  QipMainWindow.cpp
  QipMainWindowExport.cpp
  QipMainWindowSize.cpp
  QipMainWindowTable.cpp
  QipProbeDialog.cpp
  QipPropertyListBound.cpp
  QipRoute.cpp
  QipSearchFactory.cpp
  QipSettings.cpp
  QipSingleInstance.cpp
  QipUserTargets.cpp
  MainWindow.ui
)
set_target_properties(qipcontroller PROPERTIES AUTOMOC ON AUTOUIC ON)
qipfinder_target(qipcontroller)
target_compile_definitions(qipcontroller PRIVATE QIPFINDER_VERSION="${PROJECT_VERSION}")
target_link_libraries(qipcontroller PUBLIC qipsearch qipcli qipdiscover qipstore Qt6::Widgets Qt6::Network PkgConfig::PLIST ICU::i18n ICU::uc)

add_executable(qipfinder main.cpp)
qipfinder_target(qipfinder)
target_link_libraries(qipfinder PRIVATE qipcontroller)

# The build tree has the installed layout, so the program finds its bundle in both.
configure_file(Info.plist ${QIPFINDER_BUNDLE_DIR}/Info.plist COPYONLY)
# The window's icon when the icon theme has none installed (as when run from the build tree).
configure_file(qipfinder.svg ${QIPFINDER_BUNDLE_DIR}/qipfinder.svg COPYONLY)
set(QIPFINDER_TS_FILES
  ${PROJECT_SOURCE_DIR}/translations/qipfinder_en.ts
  ${PROJECT_SOURCE_DIR}/translations/qipfinder_de.ts
)
set_source_files_properties(${QIPFINDER_TS_FILES} PROPERTIES OUTPUT_LOCATION ${QIPFINDER_BUNDLE_DIR})
qt_add_lrelease(qipfinder TS_FILES ${QIPFINDER_TS_FILES} QM_FILES_OUTPUT_VARIABLE QIPFINDER_QM_FILES)

# The Help menu's pages: the user's help of docs/help/ as HTML, one page per language
# (index.html in English, index.<language>.html), made at build time in the bundle.
qipfinder_require_program(QIPFINDER_CMARK_GFM cmark-gfm cmark-gfm)
set(QIPFINDER_HELP_DIR ${QIPFINDER_BUNDLE_DIR}/help)
set(QIPFINDER_HELP_PAGES)
foreach(language en de)
  if(language STREQUAL "en")
    set(page ${QIPFINDER_HELP_DIR}/index.html)
  else()
    set(page ${QIPFINDER_HELP_DIR}/index.${language}.html)
  endif()
  set(source ${PROJECT_SOURCE_DIR}/docs/help/help.${language}.md)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -DCMARK=${QIPFINDER_CMARK_GFM} -DINPUT=${source} -DOUTPUT=${page}
            -DLANGUAGE=${language} -P ${CMAKE_CURRENT_SOURCE_DIR}/help.cmake
    DEPENDS ${source} ${CMAKE_CURRENT_SOURCE_DIR}/help.cmake
    COMMENT "Converting docs/help/help.${language}.md to the program's help")
  list(APPEND QIPFINDER_HELP_PAGES ${page})
endforeach()
add_custom_target(qipfinder_help ALL DEPENDS ${QIPFINDER_HELP_PAGES})
add_dependencies(qipfinder qipfinder_help)

include(GNUInstallDirs)
install(TARGETS qipfinder RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES Info.plist qipfinder.svg ${QIPFINDER_QM_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/qipfinder)
install(DIRECTORY ${QIPFINDER_HELP_DIR} DESTINATION ${CMAKE_INSTALL_DATADIR}/qipfinder)
install(FILES qipfinder.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES qipfinder.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
