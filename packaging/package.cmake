# Debian package of the plugin: `cpack -G DEB` in the build folder, checked by
# the `package` test. Only the plugin and its Debian documents go in; the host
# and the simulator are for development.

# A build past a release, 3.1.0-1-g3dedfeb, would read to Debian as upstream
# 3.1.0-1 with revision g3dedfeb; written 3.1.0+1.g3dedfeb it stays one
# native version that sorts after 3.1.0 and before 3.1.1.
string(REGEX REPLACE "^([0-9]+\\.[0-9]+\\.[0-9]+)-([0-9]+)-g([0-9a-f]+)$" "\\1+\\2.g\\3"
       NERIVO_DEB_VERSION "${NERIVO_VERSION}")
if(NOT NERIVO_DEB_VERSION MATCHES "^[0-9][A-Za-z0-9.+~]*$")
  message(FATAL_ERROR "NERIVO_VERSION=${NERIVO_VERSION} has no Debian form: use X.Y.Z or X.Y.Z-N-gHASH")
endif()
set(NERIVO_DEB_PACKAGE "lorvane-south-nerivowater")

option(NERIVO_INSTALL_STRIP "Strip the plugin and tools on cmake --install" ON)
if(NERIVO_INSTALL_STRIP)
  # Runs ahead of the install rules of the subfolders; a RelWithDebInfo plugin
  # is some 40 MB with its debug information and under 1 MB without.
  install(CODE "set(CMAKE_INSTALL_DO_STRIP TRUE)" COMPONENT plugin)
endif()

# The Debian documents sit at absolute paths outside the platform's prefix, so
# they are left out of a plain cmake --install and only the package asks for them.
set(_deb_doc /usr/share/doc/${NERIVO_DEB_PACKAGE})
set(_deb_gen ${CMAKE_BINARY_DIR}/packaging)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${_deb_gen}/changelog @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/lintian-overrides ${_deb_gen}/${NERIVO_DEB_PACKAGE} @ONLY)
# -n leaves name and time out of the gzip header, so the same source gives the same package.
add_custom_command(OUTPUT ${_deb_gen}/changelog.gz
                   COMMAND gzip -9nc changelog > changelog.gz
                   DEPENDS ${_deb_gen}/changelog WORKING_DIRECTORY ${_deb_gen} VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${_deb_gen}/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${_deb_gen}/changelog.gz DESTINATION ${_deb_doc}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${_deb_gen}/${NERIVO_DEB_PACKAGE} DESTINATION /usr/share/lintian/overrides
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME "${NERIVO_DEB_PACKAGE}")
set(CPACK_PACKAGE_VERSION "${NERIVO_DEB_VERSION}")
set(CPACK_PACKAGE_CONTACT "Lorvane plugin maintainers <plugins@lorvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lorvane south plugin for the Nerivo Water cloud service")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The Lorvane edge platform's south service loads this plugin to read water
measurements from the Nerivo Water cloud service over HTTPS. It discovers
the sites, assets and parameters the API key can see, then asks at every
poll for the samples of all historian tags since the last pull and turns
each sample into one reading, with quality, value, units and site.
The last-pull time is kept by the platform across restarts; requests may
go through an HTTP CONNECT proxy and certificates are always verified.")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr/local/lorvane")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The zone rules are read from the system's tz database at run time; the
# date/tz library itself comes in through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tzdata")
# libcommon-lib comes with the platform, not from a Debian package: dpkg-shlibdeps
# is shown where it lies and, finding no package for it, leaves it out of Depends.
if(LORVANE_COMMON_LIB)
  get_filename_component(_platform_lib_dir ${LORVANE_COMMON_LIB} DIRECTORY)
else()
  set(_platform_lib_dir ${CMAKE_BINARY_DIR}/platform)
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${_platform_lib_dir})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL plugin debian)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
