# Run by cpack after it has built the packages (CPACK_POST_BUILD_SCRIPTS). CPack gives a
# package that holds a shared object anywhere under /usr/lib/ a postinst and a postrm
# that run ldconfig. Debian packages leave ldconfig to its trigger: the library package
# activates it (packaging/triggers), and the window module lives in e-mailer's own
# folder, which ldconfig never reads. So those two scripts are taken out again and the
# package is rebuilt without them.
set(ldconfigScript "^#!/bin/sh\n\nset -e\n\nif \\[ \"\\$1\" = \"(configure|remove)\" \\]; then\n\tldconfig\nfi\n$")

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)
  foreach(script postinst postrm)
    if(EXISTS ${tree}/DEBIAN/${script})
      file(READ ${tree}/DEBIAN/${script} text)
      if(text MATCHES "${ldconfigScript}")
        file(REMOVE ${tree}/DEBIAN/${script})
        set(changed TRUE)
      endif()
    endif()
  endforeach()
  if(changed)
    execute_process(COMMAND dpkg-deb --root-owner-group -Z${CPACK_DEBIAN_COMPRESSION_TYPE} -b ${tree} ${deb}
      OUTPUT_QUIET
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
