# Debian packages: `cpack -G DEB` in the build directory makes one package
# per component (see packaging/CMakeLists.txt), as Debian splits a library
# kit: a package per shared library named after its soname, the development
# files, and the programs.  tests/install/deb_test.sh builds them and runs
# lintian on them.
#
# Adding a package: install its files with COMPONENT <name>, append <name> to
# TAVRO_DEB_COMPONENTS, and give it the four settings below (package name,
# section, description, component dependencies).  The docs each package needs
# (copyright, changelog.Debian.gz) come from tavro_deb_docs().

set(TAVRO_DEB_COMPONENTS core platform api dev runtime python)
if(TAVRO_BUILD_APP)
  list(APPEND TAVRO_DEB_COMPONENTS app)
endif()

set(TAVRO_MAINTAINER "Tavro maintainers <maintainers@users.noreply.c-seed-61683455.example>"
    CACHE STRING "Maintainer of the Debian packages (name <address>)")

# Every package carries its own copyright file and the compressed Debian
# changelog in /usr/share/doc/<package>.  They are installed only when CPack
# installs that component (EXCLUDE_FROM_ALL), not by a plain `cmake --install`.
set(TAVRO_DEB_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${TAVRO_DEB_CHANGELOG}
  COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog > ${TAVRO_DEB_CHANGELOG}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog VERBATIM)
add_custom_target(tavro-deb-changelog ALL DEPENDS ${TAVRO_DEB_CHANGELOG})

#
# lintian's overrides, one file per package, each tag with the reason it does
# not apply: packaging/debian/lintian-overrides, "PACKAGE" standing for the
# package's name.
function(tavro_deb_docs component package)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/debian/copyright ${TAVRO_DEB_CHANGELOG}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/debian/lintian-overrides overrides)
  string(REPLACE "PACKAGE" "${package}" overrides "${overrides}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/lintian/${package} "${overrides}")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lintian/${package}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_CURRENT_SOURCE_DIR}/debian/lintian-overrides)

set(CPACK_DEBIAN_CORE_PACKAGE_NAME libtavrocore1)
set(CPACK_DEBIAN_CORE_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_CORE_DESCRIPTION "tracking core library of the Tavro handheld pointer
The Tavro driver kit drives a handheld optical pointer and its USB
receiver: it turns the handsets' camera packets into pointer moves, clicks
and keys, sends commands to the receiver and keeps every value in one shared
record.
.
This package holds libTavroCore: the tracking mathematics, the receiver's
packet decoder and command encoders, the settings file and the kit's XML
library.")

set(CPACK_DEBIAN_PLATFORM_PACKAGE_NAME libtavrolinux1)
set(CPACK_DEBIAN_PLATFORM_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PLATFORM_DESCRIPTION "Linux platform library of the Tavro handheld pointer
The Tavro driver kit drives a handheld optical pointer and its USB
receiver: it turns the handsets' camera packets into pointer moves, clicks
and keys, sends commands to the receiver and keeps every value in one shared
record.
.
This package holds libTavroLinux: the receiver's serial link, the worker
threads, the shared memory record, the system log and the X11 pointer and
keyboard output.")

set(CPACK_DEBIAN_API_PACKAGE_NAME libtavrodev1)
set(CPACK_DEBIAN_API_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_API_DESCRIPTION "C API library of the Tavro handheld pointer
The Tavro driver kit drives a handheld optical pointer and its USB
receiver: it turns the handsets' camera packets into pointer moves, clicks
and keys, sends commands to the receiver and keeps every value in one shared
record.
.
This package holds libTavroDev, the flat C API (the TV_ functions) through
which programs read positions and settings and request receiver commands.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtavro-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files of the Tavro handheld pointer kit
The Tavro driver kit drives a handheld optical pointer and its USB
receiver: it turns the handsets' camera packets into pointer moves, clicks
and keys, sends commands to the receiver and keeps every value in one shared
record.
.
This package holds what is needed to build programs against the kit: the C
header tavrodev.h, the C++ headers of the record and the platform classes,
the linker links, a pkg-config file (tavro) and a CMake package
(find_package(Tavro)).")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME tavro)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "device daemon and tools of the Tavro handheld pointer
The Tavro driver kit drives a handheld optical pointer and its USB
receiver: it turns the handsets' camera packets into pointer moves, clicks
and keys, sends commands to the receiver and keeps every value in one shared
record.
.
This package holds the programs: the device daemon tavrod with its systemd
user unit, the command-line client tavro, the calibration tool
tavro-calibrate, the receiver simulator tavro-sim and the console demo
tavro-demo, with the udev rules and the manual pages.")

set(CPACK_DEBIAN_APP_PACKAGE_NAME tavro-control)
set(CPACK_DEBIAN_APP_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_APP_DESCRIPTION "desktop app of the Tavro handheld pointer
The Tavro driver kit drives a handheld optical pointer and its USB
receiver: it turns the handsets' camera packets into pointer moves, clicks
and keys, sends commands to the receiver and keeps every value in one shared
record.
.
This package holds tavro-control, a Qt desktop app that shows every
handset live (aim, camera spots, roll, distance, keys), sets the pointing
mode, the filter and the motion settings, calibrates, edits the key
bindings, runs the receiver's commands and starts or stops the daemon; with
a tray icon and a demo that needs no hardware.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tavro)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.11)")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python package of the Tavro handheld pointer kit
The Tavro driver kit drives a handheld optical pointer and its USB
receiver: it turns the handsets' camera packets into pointer moves, clicks
and keys, sends commands to the receiver and keeps every value in one shared
record.
.
This package holds the Python module tavro: the handsets' live values,
the settings with their types and ranges, and the receiver commands, over
the kit's C API library.")

# Dependencies between the kit's own packages; CPack makes them exact
# ("= version"), as the libraries of one build belong together.  Those on
# other packages (libc6, libx11-6, libstdc++6, ...) come from dpkg-shlibdeps.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_PLATFORM_DEPENDS core)
set(CPACK_COMPONENT_API_DEPENDS platform core)
set(CPACK_COMPONENT_DEV_DEPENDS api platform core)
set(CPACK_COMPONENT_RUNTIME_DEPENDS api platform core)
set(CPACK_COMPONENT_PYTHON_DEPENDS api)
# The app starts the daemon and, for its demo, the simulator.
set(CPACK_COMPONENT_APP_DEPENDS runtime api platform core)

foreach(component ${TAVRO_DEB_COMPONENTS})
  string(TOUPPER ${component} upper)
  tavro_deb_docs(${component} ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SOURCE tavro)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TAVRO_DEB_COMPONENTS})
set(CPACK_PACKAGE_NAME tavro)
set(CPACK_PACKAGE_VENDOR "Tavro")
set(CPACK_PACKAGE_CONTACT "${TAVRO_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds the kit's own libraries in the build tree; their
# packages are named by the component dependencies above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack calls ldconfig from postinst and postrm; Debian uses a dpkg trigger.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/DebianLdconfigTrigger.cmake)
include(CPack)
