# Builds the Debian package into the build tree and checks what it holds: the programs (lumatrax,
# the simulator, the tap, the judge and the review window), their manual pages, the menu entries,
# the icon at every size, the metainfo, the copyright, change log and READMEs in
# /usr/share/doc/lumatrax, and nothing else; the library dependencies that dpkg-shlibdeps found;
# no run path into the build tree; the desktop files valid; the manual pages complete and the
# copyright machine-readable; lintian finding no error; and the tools, run from the unpacked
# package, working without anything beside them.
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
    ./usr/bin/lumatrax-review
    ./usr/bin/lumatrax-sim
    ./usr/bin/lumatrax-tap
    ./usr/share/applications/${APP_ID}.desktop
    ./usr/share/applications/${APP_ID}.Review.desktop
    ./usr/share/doc/lumatrax/README.md
    ./usr/share/doc/lumatrax/README.tools.md
    ./usr/share/doc/lumatrax/changelog.Debian.gz
    ./usr/share/doc/lumatrax/copyright
    ./usr/share/man/man1/lumatrax.1.gz
    ./usr/share/man/man1/lumatrax-judge.1.gz
    ./usr/share/man/man1/lumatrax-review.1.gz
    ./usr/share/man/man1/lumatrax-sim.1.gz
    ./usr/share/man/man1/lumatrax-tap.1.gz
    ./usr/share/metainfo/${APP_ID}.metainfo.xml
    ./usr/share/metainfo/${APP_ID}.Review.metainfo.xml)
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
expect("version" "${output}" "\n Version: 1\\.1-1\n")
string(REGEX MATCH "\n Depends: [^\n]+" depends "${output}")
foreach(library libc6 libstdc\\+\\+6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6
                fonts-dejavu-core)
    expect("Depends" "${depends}" "[ ,]${library}( |,|$)")
endforeach()

# Unpacked: no run path, valid desktop files, and a simulator that starts from there.
set(root ${out}/root)
run(dpkg-deb -x ${debs} ${root})
foreach(program lumatrax lumatrax-sim lumatrax-tap lumatrax-judge lumatrax-review)
    run(readelf -d ${root}/usr/bin/${program})
    if(output MATCHES "RPATH|RUNPATH")
        message(FATAL_ERROR "${program} carries a run path:\n${output}")
    endif()
endforeach()
foreach(id ${APP_ID} ${APP_ID}.Review)
    run(desktop-file-validate ${root}/usr/share/applications/${id}.desktop)
    run(appstreamcli validate --no-net ${root}/usr/share/metainfo/${id}.metainfo.xml)
endforeach()
run(${root}/usr/bin/lumatrax-sim --help)
expect("lumatrax-sim --help" "${output}" "--reject-share")
expect("lumatrax-sim --help" "${output}" "--replay")
run(${root}/usr/bin/lumatrax-tap --help)
expect("lumatrax-tap --help" "${output}" "--device")
run(${root}/usr/bin/lumatrax-judge --help)
expect("lumatrax-judge --help" "${output}" "--guides")

run(${root}/usr/bin/lumatrax-judge --version)
expect("lumatrax-judge --version" "${output}" "^lumatrax-judge 1\\.1\n$")
# The review window's help and version need no display.
run(${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY --unset=QT_QPA_PLATFORM
    ${root}/usr/bin/lumatrax-review --help)
expect("lumatrax-review --help" "${output}" "--guides")
run(${root}/usr/bin/lumatrax-review --version)
expect("lumatrax-review --version" "${output}" "^lumatrax-review 1\\.1\n$")

# The manual pages: each names its program; the judge's describes its options.
foreach(program lumatrax lumatrax-sim lumatrax-tap lumatrax-judge lumatrax-review)
    run(gzip -dc ${root}/usr/share/man/man1/${program}.1.gz)
    expect("${program}.1" "${output}" "^\\.TH [^\n]+\n\\.SH NAME\n${program} \\\\- ")
endforeach()
run(gzip -dc ${root}/usr/share/man/man1/lumatrax-judge.1.gz)
foreach(option teach keep margin bad plot report csv version)
    expect("lumatrax-judge.1" "${output}" "\n\\.B [^\n]*\\\\-\\\\-${option}")
endforeach()
expect("lumatrax-judge.1" "${output}" "\n\\.SH EXIT STATUS\n\\.TP\n\\.B 0\n")
expect("lumatrax-judge.1" "${output}" "\n\\.SH EXAMPLES\n\\.TP\n\\.B lumatrax\\\\-judge ")

# The copyright file in the machine-readable format.
file(READ ${root}/usr/share/doc/lumatrax/copyright copyright)
expect("copyright" "${copyright}"
       "^Format: https://www\\.debian\\.org/doc/packaging-manuals/copyright-format/1\\.0/\n")
expect("copyright" "${copyright}" "\nFiles: \\*\nCopyright: [^\n]+\nLicense: [^\n]+\n")

# lintian, where it is installed (tools/install-deps.sh installs it): no error. Its warnings are
# printed; the one expected is initial-upload-closes-no-bugs, a matter of Debian's archive.
find_program(LINTIAN lintian)
if(LINTIAN)
    execute_process(COMMAND ${LINTIAN} --no-tag-display-limit ${debs} RESULT_VARIABLE rc
                    OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    message(STATUS "lintian:\n${output}${errors}")
    if(output MATCHES "(^|\n)E: " OR NOT rc EQUAL 0)
        message(FATAL_ERROR "lintian finds errors (${rc}):\n${output}\n${errors}")
    endif()
else()
    message(WARNING "lintian is not installed: the package was not checked with it")
endif()
