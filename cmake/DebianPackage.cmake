# The Debian package of the wizard: what `cmake --install` puts under /usr (the wizard in
# /usr/libexec/reflasher, the link /usr/bin/reflasher, the manual page, the bash completion, the
# desktop entry and icons), with its dependencies found by dpkg-shlibdeps, packed by dpkg-deb.
# Never prog.exe or firmware files: the receiver's vendor supplies those.
#   cmake -DBINARY=<tree> -DSOURCE=<source> -DVERSION=<version> -DOUTPUT=<.deb> -P DebianPackage.cmake
set(work ${BINARY}/deb)
set(stage ${work}/reflasher)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${stage}/DEBIAN)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE out WORKING_DIRECTORY ${work})
  if(failed)
    message(FATAL_ERROR "failed: ${ARGN}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} -E env DESTDIR=${stage} ${CMAKE_COMMAND} --install ${BINARY} --prefix /usr --strip)
file(GLOB_RECURSE vendor ${stage}/*prog.exe ${stage}/*508231*)
if(vendor)
  message(FATAL_ERROR "the vendor's files must not be packed: ${vendor}")
endif()

# Manual pages and the changelog compressed as Debian wants them; the copyright beside them.
set(doc ${stage}/usr/share/doc/reflasher)
file(MAKE_DIRECTORY ${doc})
configure_file(${SOURCE}/cmake/debian/copyright ${doc}/copyright COPYONLY)
configure_file(${SOURCE}/cmake/debian/changelog ${doc}/changelog @ONLY)  # a native package
run(gzip -9n ${doc}/changelog)
run(gzip -9n ${stage}/usr/share/man/man1/reflasher.1)
file(CHMOD_RECURSE ${stage}/usr DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# dpkg-shlibdeps reads a debian/control of a source package; a minimal one is enough.
file(WRITE ${work}/debian/control "Source: reflasher\n\nPackage: reflasher\nArchitecture: any\n")
run(dpkg-shlibdeps -O ${stage}/usr/libexec/reflasher/reflasher)
string(REGEX REPLACE "^shlibs:Depends=([^\n]*).*" "\\1" depends "${out}")
run(dpkg --print-architecture)
string(STRIP "${out}" architecture)
run(du -sk --exclude=DEBIAN ${stage})
string(REGEX REPLACE "^([0-9]+).*" "\\1" size "${out}")
configure_file(${SOURCE}/cmake/debian/control ${stage}/DEBIAN/control @ONLY)
file(REMOVE_RECURSE ${work}/debian)
run(dpkg-deb --root-owner-group -Zxz --build ${stage} ${OUTPUT})
