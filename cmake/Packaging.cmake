# Installation on the freedesktop conventions and the Debian package
# (`cmake --build --preset release --target package`): the programs in bin, the desktop entry,
# the icon in the hicolor theme, AppStream metadata, manual pages made from the programs' --help,
# and the copyright file and changelog where Debian expects them. The package's version is the
# one `kalvitrope-cli --version` prints (read when the package is made).
include(GNUInstallDirs)

set(KV_APP_ID org.kalvitrope.Kalvitrope)
set(KV_PACKAGING_SOURCE ${CMAKE_SOURCE_DIR}/packaging)
set(KV_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
set(KV_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/kalvitrope)
set(KV_MAN_DIR ${CMAKE_INSTALL_MANDIR}/man1)
# The sizes a hicolor theme usually holds, besides the scalable picture.
set(KV_ICON_SIZES 16 22 24 32 48 64 128 256)

find_program(KV_HELP2MAN help2man)
find_program(KV_RSVG_CONVERT rsvg-convert)
find_program(KV_GZIP gzip)
set(KV_PACKAGING_TOOLS_MISSING "")
foreach(tool KV_HELP2MAN KV_RSVG_CONVERT KV_GZIP)
  if(NOT ${tool})
    string(REPLACE "KV_" "" name ${tool})
    string(TOLOWER ${name} name)
    string(REPLACE "_" "-" name ${name})
    list(APPEND KV_PACKAGING_TOOLS_MISSING ${name})
  endif()
endforeach()
if(KV_PACKAGING_TOOLS_MISSING)
  message(STATUS "No package target: ${KV_PACKAGING_TOOLS_MISSING} not found "
    "(scripts/install-deps.sh installs them)")
  install(TARGETS kalvitrope-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET kalvitrope)
    install(TARGETS kalvitrope RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  return()
endif()

# A gzipped manual page for a program, made from the built program each time it is installed or
# packaged (so always in step with it, and never in the way of an ordinary build).
set(KV_PACKAGING_FILES "")
function(kv_man_page target summary)
  set(page ${KV_PACKAGING_OUT}/${target}.1.gz)
  install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\" -DHELP2MAN=${KV_HELP2MAN}
      -DGZIP=${KV_GZIP} -DPROGRAM=$<TARGET_FILE:${target}> \"-DSUMMARY=${summary}\"
      -DEXTRA=${KV_PACKAGING_SOURCE}/${target}.h2m -DOUT=${page}
      -P ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake COMMAND_ERROR_IS_FATAL ANY)")
  install(FILES ${page} DESTINATION ${KV_MAN_DIR})
endfunction()

install(TARGETS kalvitrope-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
kv_man_page(kalvitrope-cli "render, play and probe Kalvitrope patches without a display")

if(TARGET kalvitrope)
  install(TARGETS kalvitrope RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  kv_man_page(kalvitrope "modular synthesiser played with the computer mouse")
  install(FILES ${KV_PACKAGING_SOURCE}/${KV_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${KV_PACKAGING_SOURCE}/${KV_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  set(svg ${KV_PACKAGING_SOURCE}/${KV_APP_ID}.svg)
  install(FILES ${svg} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size ${KV_ICON_SIZES})
    set(png ${KV_PACKAGING_OUT}/icons/${size}x${size}/${KV_APP_ID}.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${KV_RSVG_CONVERT} --width=${size} --height=${size} --output=${png} ${svg}
      DEPENDS ${svg}
      COMMENT "Icon ${size}x${size}"
      VERBATIM)
    list(APPEND KV_PACKAGING_FILES ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
endif()

# Debian's changelog of a package whose version has no Debian revision is changelog.gz.
set(changelog ${KV_PACKAGING_OUT}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND ${CMAKE_COMMAND} -E copy ${KV_PACKAGING_SOURCE}/changelog ${KV_PACKAGING_OUT}/changelog
  COMMAND ${KV_GZIP} -9 --no-name --force ${KV_PACKAGING_OUT}/changelog
  DEPENDS ${KV_PACKAGING_SOURCE}/changelog
  COMMENT "Package changelog"
  VERBATIM)
list(APPEND KV_PACKAGING_FILES ${changelog})
install(FILES ${changelog} ${KV_PACKAGING_SOURCE}/copyright DESTINATION ${KV_DOC_DIR})
# The udev rule that lets the active session read mice on Wayland: shipped as an opt-in example
# (the user copies it to /etc/udev/rules.d), never active by itself.
install(FILES ${KV_PACKAGING_SOURCE}/61-kalvitrope-mice.rules DESTINATION ${KV_DOC_DIR}/examples)

add_custom_target(kv_packaging_files ALL DEPENDS ${KV_PACKAGING_FILES})

# The package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kalvitrope)
set(CPACK_PACKAGE_VENDOR "Hollowmere Software")
set(CPACK_PACKAGE_CONTACT "Hollowmere Software <packages@kalvitrope.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL https://kalvitrope.org/)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "modular synthesiser played with the computer mouse")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${KV_PACKAGING_SOURCE}/description.txt)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's X11 platform plugin (the desktop program runs on X11 or XWayland), which libqt6gui6 only
# recommends; xdg-open opens the web site's pages.
if(TARGET kalvitrope)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
endif()
set(CPACK_PROJECT_CONFIG_FILE ${KV_PACKAGING_OUT}/PackageVersion.cmake)
file(GENERATE OUTPUT ${CPACK_PROJECT_CONFIG_FILE} CONTENT
  "set(KV_VERSION_PROGRAM \"$<TARGET_FILE:kalvitrope-cli>\")
set(KV_PACKAGING_SOURCE \"${KV_PACKAGING_SOURCE}\")
include(\"${CMAKE_SOURCE_DIR}/cmake/PackageVersion.cmake\")
")
include(CPack)
