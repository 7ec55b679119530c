# Run by cpack once the packages are made.
#
# Every package is built again with dpkg-deb, so that nothing in it depends on
# the builder's file system, umask or clock. CPack's Installed-Size adds up the
# sizes of the directories, which differ from one file system to another: it is
# counted again as dpkg-gencontrol counts it, a KiB a directory or link and the
# rounded-up KiB of each file. In the debug symbols package (.ddeb) CPack lists
# the build tree's paths in its md5sums, and, as dh_strip does, its
# documentation is a link to the main package's, whose copyright and changelog
# cover it.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(root ${deb}.root)
  file(REMOVE_RECURSE ${root})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${root} COMMAND_ERROR_IS_FATAL ANY)
  if(deb MATCHES "\\.ddeb$")
    file(GLOB_RECURSE debug LIST_DIRECTORIES false RELATIVE ${root} ${root}/usr/*)
    list(SORT debug)
    set(sums "")
    foreach(file IN LISTS debug)
      file(MD5 ${root}/${file} sum)
      string(APPEND sums "${sum}  ${file}\n")
    endforeach()
    file(WRITE ${root}/DEBIAN/md5sums "${sums}")
    file(MAKE_DIRECTORY ${root}/usr/share/doc)
    file(CREATE_LINK ${CPACK_PACKAGE_NAME} ${root}/usr/share/doc/${CPACK_PACKAGE_NAME}-dbgsym
         SYMBOLIC)
  endif()

  file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE ${root} ${root}/*)
  set(kib 0)
  foreach(entry IN LISTS entries)
    if(entry MATCHES "^DEBIAN(/|$)")
      continue()
    elseif(IS_SYMLINK ${root}/${entry} OR IS_DIRECTORY ${root}/${entry})
      math(EXPR kib "${kib} + 1")
    else()
      file(SIZE ${root}/${entry} size)
      math(EXPR kib "${kib} + (${size} + 1023) / 1024")
    endif()
  endforeach()
  file(READ ${root}/DEBIAN/control control)
  string(REGEX REPLACE "\nInstalled-Size: [0-9]+\n" "\nInstalled-Size: ${kib}\n" control
                       "${control}")
  file(WRITE ${root}/DEBIAN/control "${control}")

  # Modes and times that do not follow the builder's umask and clock.
  execute_process(COMMAND chmod -R u=rwX,go=rX ${root} COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND find ${root} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
                  COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${deb})
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${root} ${deb}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${root})
endforeach()

# The ar members of every package were written with the modes the builder's
# umask gave them; rewritten in ar's deterministic mode they are 0644, owned
# by 0 and dated 0, whoever builds the package.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(work ${deb}.members)
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work})
  execute_process(COMMAND ar x ${deb} WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB control RELATIVE ${work} ${work}/control.tar.*)
  file(GLOB data RELATIVE ${work} ${work}/data.tar.*)
  file(REMOVE ${deb})
  execute_process(COMMAND ar rcD ${deb} debian-binary ${control} ${data}
                  WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${work})
endforeach()
