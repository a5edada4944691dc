# make install and make package: the programs, their manual pages, the
# example rules, the systemd unit, and the table library for proxies.
include(GNUInstallDirs)
# make install and make package build first (see the Makefile); cpack
# itself only collects what is built.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS tollwatch twparser twcheck twbridge RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS monfeed twhistory RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

foreach(section 1 5 8)
  file(GLOB pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/*.${section})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/examples/tollwatch.conf
              ${PROJECT_SOURCE_DIR}/dist/tollwatch.rules.yml
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The table library: header, static and shared library, pkg-config file.
install(TARGETS monitor monitor_shared
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/monitor/monMmap.h
              ${PROJECT_SOURCE_DIR}/monitor/monTypes.h
              ${PROJECT_SOURCE_DIR}/monitor/monErr.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tollwatch)

# The unit and the pkg-config file name the prefix they are installed
# under, which a package sets only at install time.
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(sbindir \"\${prefix}/${CMAKE_INSTALL_SBINDIR}\")
  set(libdir \"\${prefix}/${CMAKE_INSTALL_LIBDIR}\")
  set(includedir \"\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}\")
  set(version \"${PROJECT_VERSION}\")
  set(root \"\$ENV{DESTDIR}\${prefix}\")
  foreach(pair \"tollwatch.service.in;lib/systemd/system/tollwatch.service\"
               \"twbridge.service.in;lib/systemd/system/twbridge.service\"
               \"twmonitor.pc.in;${CMAKE_INSTALL_LIBDIR}/pkgconfig/twmonitor.pc\")
    list(GET pair 0 in)
    list(GET pair 1 out)
    message(STATUS \"Installing: \${root}/\${out}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/dist/\${in}\" \"\${root}/\${out}\" @ONLY)
  endforeach()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tollwatch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tollwatch maintainers <tollwatch@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "alarm daemon for a SOCKS5 proxy server's connection table")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
find_program(TW_SHLIBDEPS dpkg-shlibdeps)
if(TW_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libgdbm6, libgdbm-compat4, libjansson4")
endif()
include(CPack)
