# Steps of the installation that depend on the prefix chosen at install time
# (CMAKE_INSTALL_PREFIX as `cmake --install --prefix` or CPack set it).  Set
# up by packaging/CMakeLists.txt with TAVRO_BINDIR, TAVRO_LIBDIR,
# TAVRO_INCLUDEDIR, TAVRO_VERSION, TAVRO_SYSTEM_LIBDIRS, TAVRO_STAGING_DIR and
# TAVRO_PACKAGING_DIR.

function(tavro_full_dir dir out)
  if(IS_ABSOLUTE "${dir}")
    set(full "${dir}")
  else()
    set(full "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  cmake_path(NORMAL_PATH full)
  string(REGEX REPLACE "(.)/$" "\\1" full "${full}")
  set(${out} "${full}" PARENT_SCOPE)
endfunction()

function(tavro_libdir_is_system out)
  tavro_full_dir("${TAVRO_LIBDIR}" libdir)
  set(system FALSE)
  foreach(dir IN LISTS TAVRO_SYSTEM_LIBDIRS)
    cmake_path(NORMAL_PATH dir)
    string(REGEX REPLACE "(.)/$" "\\1" dir "${dir}")
    if(dir STREQUAL libdir)
      set(system TRUE)
    endif()
  endforeach()
  set(${out} ${system} PARENT_SCOPE)
endfunction()

# Files written here are made in a directory of their own per destination, so
# that two installations from one build tree never share one.
function(tavro_staging_dir out)
  string(MD5 key "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
  set(dir "${TAVRO_STAGING_DIR}/${key}")
  file(MAKE_DIRECTORY "${dir}")
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

function(tavro_install_service)
  tavro_full_dir("${TAVRO_BINDIR}" bindir)
  set(TAVROD_PATH "${bindir}/tavrod")
  tavro_staging_dir(staging)
  configure_file("${TAVRO_PACKAGING_DIR}/tavrod.service.in" "${staging}/tavrod.service" @ONLY)
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user" TYPE FILE
       FILES "${staging}/tavrod.service")
endfunction()

function(tavro_install_pkgconfig)
  set(prefix "${CMAKE_INSTALL_PREFIX}")
  cmake_path(NORMAL_PATH prefix)
  string(REGEX REPLACE "(.)/$" "\\1" prefix "${prefix}")
  tavro_full_dir("${TAVRO_LIBDIR}" full_libdir)
  tavro_full_dir("${TAVRO_INCLUDEDIR}" full_includedir)
  # pkg-config's own variables, relative to ${prefix} where they lie under it.
  string(REPLACE "${prefix}/" "\${prefix}/" PC_LIBDIR "${full_libdir}")
  string(REPLACE "${prefix}/" "\${prefix}/" PC_INCLUDEDIR "${full_includedir}")
  set(PC_PREFIX "${prefix}")
  set(PROJECT_VERSION "${TAVRO_VERSION}")
  # A client linked against a kit in a prefix of its own finds it at run time.
  tavro_libdir_is_system(system)
  if(system)
    set(PC_RPATH "")
  else()
    set(PC_RPATH " -Wl,-rpath,\${libdir}")
  endif()
  tavro_staging_dir(staging)
  configure_file("${TAVRO_PACKAGING_DIR}/tavro.pc.in" "${staging}/tavro.pc" @ONLY)
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${TAVRO_LIBDIR}/pkgconfig" TYPE FILE
       FILES "${staging}/tavro.pc")
endfunction()

# Programs and libraries installed by this run, found through the manifest
# CMake keeps of the files it installed; links are left alone.
function(tavro_drop_runpath_in_system_libdir)
  tavro_libdir_is_system(system)
  if(NOT system)
    return()
  endif()
  # The manifest names the files without DESTDIR (CPack stages with it).
  foreach(listed IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
    set(file "$ENV{DESTDIR}${listed}")
    if(IS_SYMLINK "${file}" OR NOT EXISTS "${file}")
      continue()
    endif()
    if(file MATCHES "/libTavro[A-Za-z]+\\.so\\.[0-9.]+$" OR file MATCHES "/bin/tavro[^/]*$")
      file(RPATH_REMOVE FILE "${file}")
    endif()
  endforeach()
endfunction()
