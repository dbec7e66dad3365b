# Builds the Debian package into the build tree and checks what it holds: the programs (lumatrax,
# the simulator, the tap and the judge), the menu entry, the icon at every size, the metainfo and
# nothing else; the library dependencies that dpkg-shlibdeps found; no run path into the build
# tree; the desktop files valid; and the tools, run from the unpacked package, working without
# anything beside them.
#
#   cmake -DCPACK=... -DBINARY_DIR=... -DAPP_ID=... -P packagecontents.cmake

set(out ${BINARY_DIR}/package)
file(REMOVE_RECURSE ${out})

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE output
                    ERROR_VARIABLE errors)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${ARGN} failed (${rc}):\n${output}\n${errors}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

function(expect what text pattern)
    if(NOT "${text}" MATCHES "${pattern}")
        message(FATAL_ERROR "${what}: no match for ${pattern} in\n${text}")
    endif()
endfunction()

run(${CPACK} -G DEB -B ${out} --config ${BINARY_DIR}/CPackConfig.cmake)
file(GLOB debs ${out}/*.deb)
list(LENGTH debs count)
if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one package in ${out}, found: ${debs}")
endif()

# Every file in the package, and only these.
set(expected
    ./usr/bin/lumatrax
    ./usr/bin/lumatrax-judge
    ./usr/bin/lumatrax-sim
    ./usr/bin/lumatrax-tap
    ./usr/share/applications/${APP_ID}.desktop
    ./usr/share/metainfo/${APP_ID}.metainfo.xml)
foreach(side 16 24 32 48 64 128 256)
    list(APPEND expected ./usr/share/icons/hicolor/${side}x${side}/apps/${APP_ID}.png)
endforeach()
run(dpkg-deb -c ${debs})
string(REGEX MATCHALL "[^\n]+" lines "${output}")
set(files)
foreach(line IN LISTS lines)
    if(NOT line MATCHES "^d" AND line MATCHES " (\\./[^ ]+)$")
        list(APPEND files ${CMAKE_MATCH_1})
    endif()
endforeach()
list(SORT files)
list(SORT expected)
if(NOT files STREQUAL expected)
    message(FATAL_ERROR "package files:\n${files}\nexpected:\n${expected}")
endif()
expect("lumatrax mode" "${output}" "-rwxr-xr-x root/root +[0-9]+ [^\n]+ \\./usr/bin/lumatrax\n")

# The control data: the libraries the programs link, found by dpkg-shlibdeps, and the font.
run(dpkg-deb -I ${debs})
expect("package name" "${output}" "\n Package: lumatrax\n")
expect("version" "${output}" "\n Version: 1\\.1\n")
string(REGEX MATCH "\n Depends: [^\n]+" depends "${output}")
foreach(library libc6 libstdc\\+\\+6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6
                fonts-dejavu-core)
    expect("Depends" "${depends}" "[ ,]${library}( |,|$)")
endforeach()

# Unpacked: no run path, valid desktop files, and a simulator that starts from there.
set(root ${out}/root)
run(dpkg-deb -x ${debs} ${root})
foreach(program lumatrax lumatrax-sim lumatrax-tap lumatrax-judge)
    run(readelf -d ${root}/usr/bin/${program})
    if(output MATCHES "RPATH|RUNPATH")
        message(FATAL_ERROR "${program} carries a run path:\n${output}")
    endif()
endforeach()
run(desktop-file-validate ${root}/usr/share/applications/${APP_ID}.desktop)
run(appstreamcli validate --no-net ${root}/usr/share/metainfo/${APP_ID}.metainfo.xml)
run(${root}/usr/bin/lumatrax-sim --help)
expect("lumatrax-sim --help" "${output}" "--reject-share")
expect("lumatrax-sim --help" "${output}" "--replay")
run(${root}/usr/bin/lumatrax-tap --help)
expect("lumatrax-tap --help" "${output}" "--device")
run(${root}/usr/bin/lumatrax-judge --help)
expect("lumatrax-judge --help" "${output}" "--guides")
