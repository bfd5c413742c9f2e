# Installation and packages: a Debian package that keeps the node's folder layout under
# /opt/varnix, with its settings and logs where the system keeps such files, and a zip for
# Windows. Paths are relative so that `cmake --install <build> --prefix /` installs the same.
set(CPACK_PACKAGE_NAME varnix)
set(CPACK_PACKAGE_VENDOR "Varnix")
set(CPACK_PACKAGE_CONTACT "Varnix developers <varnix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "xAP node that starts, stops and reports the programs on a computer")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(VARNIX_PROGRAMS varnix varnix-relay varnix-hub varnixctl)
if(NOT WIN32)
  list(APPEND VARNIX_PROGRAMS varnix-gateway)
endif()
if(VARNIX_HAVE_CONSOLE)
  list(APPEND VARNIX_PROGRAMS varnix-console)
endif()
# What a package holds, built alone where the tests are not wanted.
add_custom_target(programs)
add_dependencies(programs ${VARNIX_PROGRAMS})

if(WIN32)
  install(TARGETS ${VARNIX_PROGRAMS} RUNTIME DESTINATION .)
  # With CR LF, which every Notepad shows as lines.
  configure_file(packaging/windows/README.txt ${CMAKE_BINARY_DIR}/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt README.md DESTINATION .)
  configure_file(packaging/windows/programs.ini.example ${CMAKE_BINARY_DIR}/programs.ini.example
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/programs.ini.example DESTINATION Config)
  # Shipped stripped, a megabyte or less each. The symbols stay beside the build (varnix.exe.debug),
  # tied to their program by a debug link, for reading a crash report later.
  foreach(program ${VARNIX_PROGRAMS})
    add_custom_command(
      TARGET ${program}
      POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${program}>
              $<TARGET_FILE:${program}>.debug
      COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE:${program}>.debug
              $<TARGET_FILE:${program}>
      VERBATIM)
  endforeach()
  set(CPACK_STRIP_FILES ON)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME varnix-${PROJECT_VERSION}-win64)
else()
  set(VARNIX_HOME opt/varnix)
  install(TARGETS ${VARNIX_PROGRAMS} RUNTIME DESTINATION ${VARNIX_HOME})
  install(FILES README.md DESTINATION ${VARNIX_HOME})
  install(FILES packaging/linux/qelXap.ini packaging/linux/gateway.ini
                packaging/linux/programs.ini DESTINATION etc/varnix)
  install(DIRECTORY DESTINATION var/lib/varnix)
  install(FILES packaging/linux/varnix.service packaging/linux/varnix-hub.service
                packaging/linux/varnix-gateway.service DESTINATION lib/systemd/system)
  install(FILES packaging/linux/varnix-session.service DESTINATION usr/lib/systemd/user
          RENAME varnix.service)
  # The node finds Config and Data beside its program; they lead to the system's places.
  install(CODE [[
    set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    file(MAKE_DIRECTORY "${root}/usr/bin")
    file(CREATE_LINK /etc/varnix "${root}/opt/varnix/Config" SYMBOLIC)
    file(CREATE_LINK /var/lib/varnix "${root}/opt/varnix/Data" SYMBOLIC)
    file(CREATE_LINK ../../opt/varnix/varnixctl "${root}/usr/bin/varnixctl" SYMBOLIC)
  ]])
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Nettle and Xlib are loaded at their first use, where dpkg-shlibdeps cannot see them: the
  # package names them itself, as the packages that hold the libraries this build was made with.
  if(VARNIX_NETTLE_PACKAGE)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${VARNIX_NETTLE_PACKAGE}")
  else()
    message(WARNING "No installed package holds Nettle's library: the Debian package made "
                    "here will not depend on it")
  endif()
  if(VARNIX_X11_PACKAGE AND VARNIX_XEXT_PACKAGE)
    # Windows are optional: a server without a display runs the node without them.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${VARNIX_X11_PACKAGE}, ${VARNIX_XEXT_PACKAGE}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux/conffiles
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux/postinst
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_STRIP_FILES ON)
endif()
include(CPack)
