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
  function(varnix_package_of library out)
    get_filename_component(real "${library}" REALPATH)
    execute_process(COMMAND dpkg-query -S "${real}" OUTPUT_VARIABLE owner ERROR_QUIET)
    string(REGEX MATCH "^[^:, ]+" package "${owner}")
    if(NOT package)
      message(FATAL_ERROR "No installed package holds ${real}")
    endif()
    set(${out} "${package}" PARENT_SCOPE)
  endfunction()
  varnix_package_of("${NETTLE_SHARED}" nettle_package)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${nettle_package}")
  if(X11_FOUND AND X11_Xext_FOUND)
    varnix_package_of("${X11_X11_LIB}" x11_package)
    varnix_package_of("${X11_Xext_LIB}" xext_package)
    # Windows are optional: a server without a display runs the node without them.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${x11_package}, ${xext_package}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux/conffiles
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux/postinst
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_STRIP_FILES ON)
endif()
include(CPack)
