# Install layout (the administrator's commands in sbin) and the Debian
# package, built the way Debian builds its own: manual pages and changelog
# compressed with gzip -9n, a machine-readable copyright file, stripped
# binaries without their .comment section.
include(GNUInstallDirs)
install(TARGETS vora-dict-update vora-dict-update-tree RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS vora-ejd-encode vora-dict-manifest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Compressed copies of the pages and the changelog, made at build time.
set(compressed)
foreach(source man/vora-dict-update.8 man/vora-dict-update-tree.8 man/vora-ejd-encode.1
               man/vora-dict-manifest.1 packaging/changelog)
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/${source})
  add_custom_command(OUTPUT ${copy}.gz
                     COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${source} ${copy}
                     COMMAND gzip -9nf ${copy}
                     DEPENDS ${source} VERBATIM)
  list(APPEND compressed ${copy}.gz)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed})
set(man ${CMAKE_CURRENT_BINARY_DIR}/man)
install(FILES ${man}/vora-dict-update.8.gz ${man}/vora-dict-update-tree.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${man}/vora-ejd-encode.1.gz ${man}/vora-dict-manifest.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Where Debian's ansible-core looks for modules, and for collections: the
# module as vora_dict_update and as vora.dictionary.vora_dict_update.
install(FILES ansible/plugins/modules/vora_dict_update.py
        DESTINATION ${CMAKE_INSTALL_DATADIR}/ansible/plugins/modules)
set(collection ${CMAKE_INSTALL_DATADIR}/ansible/collections/ansible_collections/vora/dictionary)
# The collection's README is for building it; the package's documentation
# lies in its doc directory alone.
install(FILES ansible/galaxy.yml DESTINATION ${collection})
install(FILES ansible/meta/runtime.yml DESTINATION ${collection}/meta)
install(FILES ansible/plugins/modules/vora_dict_update.py DESTINATION ${collection}/plugins/modules)
# Where Debian's bash-completion loads a command's completion on demand.
install(FILES packaging/bash-completion/vora-dict-update packaging/bash-completion/vora-dict-update-tree
              packaging/bash-completion/vora-ejd-encode packaging/bash-completion/vora-dict-manifest
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# dh_strip's treatment of the .comment section, wherever the install strips.
foreach(program ${CMAKE_INSTALL_SBINDIR}/vora-dict-update ${CMAKE_INSTALL_SBINDIR}/vora-dict-update-tree
                ${CMAKE_INSTALL_BINDIR}/vora-ejd-encode ${CMAKE_INSTALL_BINDIR}/vora-dict-manifest)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${program}\"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()")
endforeach()

set(CPACK_PACKAGE_NAME vora-dict-update)
set(CPACK_PACKAGE_VENDOR "vora-dict-update developers")
set(CPACK_PACKAGE_CONTACT "vora-dict-update developers <maintainers@users.noreply.c-seed-0cca0ca9.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "install dictionary update files into the vora dictionary tree")
set(CPACK_PACKAGE_DESCRIPTION
    "vora-dict-update installs one dictionary update file below\n\
/usr/local/share/vora/Dictionary, skipping it when the installed copy's\n\
header version is at least the update's and decoding ejd distribution\n\
files on the way. It rewrites the installed copy in place so that an\n\
install cut short repairs itself on the next run.\n\
vora-dict-update-tree installs a whole update tree, or a publisher's tar\n\
archive without unpacking it, in one run; once a publisher's minisign key\n\
is trusted it installs only what that publisher signed, and --verify\n\
checks that what is installed is what was shipped.\n\
vora-dict-manifest lists a tree's files for signing and packs the archive.\n\
vora-ejd-encode converts dictionary files to and from their ejd form.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY vora-dict-update)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The maintainer scripts make the empty dictionary root on install and
# remove it on purge when it is still empty.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst
                                       ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
