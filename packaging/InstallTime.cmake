# Steps of the installation that depend on the prefix chosen at install time
# (CMAKE_INSTALL_PREFIX as `cmake --install --prefix` or CPack set it).  Set
# up by packaging/CMakeLists.txt with TAVRO_BINDIR, TAVRO_LIBDIR,
# TAVRO_INCLUDEDIR, TAVRO_MANDIR, TAVRO_VERSION, TAVRO_SYSTEM_LIBDIRS and TAVRO_PACKAGING_DIR.

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

# Installs a file whose text is made at install time (it names the prefix
# chosen then).  It is written into a temporary directory of its own, never
# into the build tree, which the installing user may not be able to write.
# Makes a new directory under $TMPDIR (or /tmp), by its real path, into ${out}.
function(_tavro_new_temporary_directory out)
  if(DEFINED ENV{TMPDIR} AND IS_DIRECTORY "$ENV{TMPDIR}")
    set(tmp "$ENV{TMPDIR}")
  else()
    set(tmp /tmp)
  endif()
  file(REAL_PATH "${tmp}" tmp)
  string(RANDOM LENGTH 16 tag)
  set(dir "${tmp}/tavro-install-${tag}")
  file(MAKE_DIRECTORY "${dir}")
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

function(tavro_install_made_file destination name content)
  _tavro_new_temporary_directory(dir)
  file(WRITE "${dir}/${name}" "${content}")
  file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${dir}/${name}")
  file(REMOVE_RECURSE "${dir}")
endfunction()

# The same for a template of packaging/ with @VARIABLES@ of the caller.
function(tavro_install_configured destination template name)
  file(READ "${TAVRO_PACKAGING_DIR}/${template}" text)
  string(CONFIGURE "${text}" text @ONLY)
  tavro_install_made_file("${destination}" "${name}" "${text}")
endfunction()

function(tavro_install_service)
  tavro_full_dir("${TAVRO_BINDIR}" bindir)
  set(TAVROD_PATH "${bindir}/tavrod")
  # man(1) finds the page by name only under the prefixes it searches by
  # itself; elsewhere the unit names the installed file, so that
  # `systemd-analyze verify` finds it either way.
  if(CMAKE_INSTALL_PREFIX MATCHES "^/usr(/local)?/?$")
    set(TAVROD_DOCUMENTATION "man:tavrod(1)")
  else()
    tavro_full_dir("${TAVRO_MANDIR}" mandir)
    set(TAVROD_DOCUMENTATION "file://${mandir}/man1/tavrod.1.gz")
  endif()
  tavro_install_configured("${CMAKE_INSTALL_PREFIX}/lib/systemd/user" tavrod.service.in tavrod.service)
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
  tavro_install_configured("${CMAKE_INSTALL_PREFIX}/${TAVRO_LIBDIR}/pkgconfig" tavro.pc.in tavro.pc)
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

# At the end of every installation CMake writes the list of the files it
# installed (install_manifest*.txt) into the top of the build tree, and the
# installation fails where the installing user cannot write there (another
# user's tree, a read-only file system).  Called at the start of an
# installation with the build tree's path: when the tree cannot be written,
# the list goes into a temporary directory of its own instead, and one line
# says where; otherwise nothing changes.
function(tavro_keep_manifest_out_of_unwritable build_dir)
  execute_process(COMMAND test -w "${build_dir}" RESULT_VARIABLE unwritable)
  if(NOT unwritable)
    return()
  endif()
  set_property(GLOBAL PROPERTY TAVRO_UNWRITABLE_BUILD_DIR "${build_dir}")
  variable_watch(CMAKE_INSTALL_MANIFEST _tavro_manifest_elsewhere)
endfunction()

# CMake writes the list to "<build tree>/${CMAKE_INSTALL_MANIFEST}": the name
# it sets is replaced by a path that leads from the tree to the temporary
# directory (enough "../" to reach the root from the tree's real path).
macro(_tavro_manifest_elsewhere _tavro_variable _tavro_access _tavro_value)
  if("${_tavro_access}" STREQUAL "MODIFIED_ACCESS" AND NOT "${_tavro_value}" MATCHES "^\\.\\./")
    get_property(_tavro_build GLOBAL PROPERTY TAVRO_UNWRITABLE_BUILD_DIR)
    _tavro_new_temporary_directory(_tavro_dir)
    file(REAL_PATH "${_tavro_build}" _tavro_real)
    string(REGEX MATCHALL "[^/]+" _tavro_parts "${_tavro_real}")
    list(LENGTH _tavro_parts _tavro_depth)
    string(REPEAT "../" ${_tavro_depth} _tavro_up)
    string(REGEX REPLACE "^/" "" _tavro_dir_relative "${_tavro_dir}")
    message(STATUS "The build tree ${_tavro_build} cannot be written: the list of installed "
                   "files is in ${_tavro_dir}/${_tavro_value}")
    set(CMAKE_INSTALL_MANIFEST "${_tavro_up}${_tavro_dir_relative}/${_tavro_value}")
  endif()
endmacro()
