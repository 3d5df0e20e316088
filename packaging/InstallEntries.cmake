# Run by `cmake --install`. The menu entry and the unit name the installed program by its
# path, which is known only now, with the prefix; the launcher links to it. The unit goes to
# KIV_UNIT_DIR from the environment when set (~/.config/systemd/user for make install),
# else to <prefix>/share/systemd/user.
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(program "${prefix}/share/kivlogging/kivlogging")
set(unitDirectory "$ENV{KIV_UNIT_DIR}")
if(unitDirectory STREQUAL "")
    set(unitDirectory "${prefix}/share/systemd/user")
endif()

# Writes `file` from the packaging folder with each `Key=` line given a new value, and
# installs it in `destination`. A macro, so the install manifest lists the file.
macro(kiv_install_with_values file destination)
    file(READ "${KIV_PACKAGING_DIR}/${file}" content)
    foreach(assignment ${ARGN})
        string(REGEX MATCH "^[^=]+=" key "${assignment}")
        string(REGEX REPLACE "\n${key}[^\n]*" "\n${assignment}" content "${content}")
    endforeach()
    file(WRITE "${KIV_STAGING_DIR}/${file}" "${content}")
    file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${KIV_STAGING_DIR}/${file}")
endmacro()

kiv_install_with_values(kivlogging.desktop "${prefix}/share/applications"
    "Exec=${program}" "Icon=${prefix}/share/icons/hicolor/scalable/apps/kivlogging.svg")
kiv_install_with_values(kivlogging.service "${unitDirectory}" "ExecStart=${program}")

set(launcher "$ENV{DESTDIR}${prefix}/bin/kivlogging")
message(STATUS "Installing: ${launcher} -> ${program}")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${prefix}/bin")
file(CREATE_LINK "${program}" "${launcher}" SYMBOLIC)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${launcher}")
