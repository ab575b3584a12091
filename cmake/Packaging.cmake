# Install layout (an administrator's command in sbin) and the Debian package.
include(GNUInstallDirs)
install(TARGETS vora-dict-update vora-dict-update-tree RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS vora-ejd-encode RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/vora-dict-update.8 man/vora-dict-update-tree.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES man/vora-ejd-encode.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME vora-dict-update)
set(CPACK_PACKAGE_VENDOR "vora-dict-update developers")
set(CPACK_PACKAGE_CONTACT "vora-dict-update developers <maintainers@users.noreply.c-seed-0cca0ca9.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "install dictionary update files into the vora dictionary tree")
set(CPACK_PACKAGE_DESCRIPTION
    "vora-dict-update installs one dictionary update file below /usr/local/share/vora/Dictionary,\n\
skipping it when the installed copy's header version is at least the update's and decoding\n\
ejd distribution files on the way. vora-ejd-encode converts dictionary files to and from\n\
their ejd form.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY vora-dict-update)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
