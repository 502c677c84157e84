# Run by CPack after it built the Debian packages (CPACK_POST_BUILD_SCRIPTS).
# CPack gives every package with a shared library a postinst and a postrm
# that only call ldconfig; Debian runs ldconfig through a dpkg trigger
# instead ("activate-noawait ldconfig"), and lintian asks for that.  Each
# such package is unpacked, the two scripts are replaced by the trigger, and
# it is packed again; the files and their checksums stay as CPack made them.

find_program(TAVRO_DPKG_DEB dpkg-deb REQUIRED)

# A script CPack generated holds nothing but these lines.
function(tavro_is_ldconfig_only script out)
  file(STRINGS "${script}" lines)
  set(only TRUE)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#" OR line STREQUAL "set -e" OR line STREQUAL "ldconfig"
       OR line STREQUAL "fi" OR line MATCHES "^if \\[ \"\\$1\" = \"[a-z]+\" \\]; then$")
      continue()
    endif()
    set(only FALSE)
  endforeach()
  set(${out} ${only} PARENT_SCOPE)
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  get_filename_component(name "${package}" NAME_WE)
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/ldconfig-trigger/${name}")
  file(REMOVE_RECURSE "${tree}")
  file(MAKE_DIRECTORY "${tree}")
  execute_process(COMMAND ${TAVRO_DPKG_DEB} --raw-extract "${package}" "${tree}"
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "cannot unpack ${package} to replace its ldconfig calls")
  endif()
  set(changed FALSE)
  foreach(script postinst postrm)
    set(path "${tree}/DEBIAN/${script}")
    if(EXISTS "${path}")
      file(READ "${path}" text)
      if(NOT text MATCHES "ldconfig")
        continue()
      endif()
      tavro_is_ldconfig_only("${path}" only)
      if(NOT only)
        message(FATAL_ERROR "${name}: ${script} does more than call ldconfig; "
                            "packaging/DebianLdconfigTrigger.cmake would drop it")
      endif()
      file(REMOVE "${path}")
      set(changed TRUE)
    endif()
  endforeach()
  if(changed)
    file(WRITE "${tree}/DEBIAN/triggers" "activate-noawait ldconfig\n")
    execute_process(COMMAND ${TAVRO_DPKG_DEB} --root-owner-group -Zxz --build "${tree}" "${package}"
                    OUTPUT_QUIET RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "cannot pack ${package} again with its ldconfig trigger")
    endif()
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
