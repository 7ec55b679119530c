# Run by cpack once the package is made. Its ar members were written with
# the modes the builder's umask gave them; rewritten in ar's deterministic
# mode they are 0644, owned by 0 and dated 0, whoever builds the package.
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
