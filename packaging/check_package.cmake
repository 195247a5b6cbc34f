# Why this exists: a package is what a lab installs, and nothing else checks
# it. Each STEP is one CTest entry (packaging/CMakeLists.txt):
#   build     cpack -G DEB from the test build, then unpack it into ROOT
#   contents  the control fields, and exactly the EXPECTED files, all under
#             /usr or /lib/udev
#   run       the unpacked program: --version, --help, a render of the windows;
#             the unpacked stage-console-ctl on the unpacked Python module
#   desktop   desktop-file-validate on the unpacked menu entry, silent
#   metainfo  appstreamcli validate --no-net on the unpacked metainfo
#   manual    man -l renders the unpacked pages without a warning, and each
#             names every option its program's --help lists
#   lintian   no error and no warning
#
#   cmake -DSTEP=... -DDEB=... -DROOT=... [-DBUILD_DIR= -DVERSION= -DARCH=
#         -DEXPECTED=a|b -DAPP_ID= -DPYTHON_DIR=] -P check_package.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "${ARGN}\nended with \"${status}\"\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

function(expect text regex what)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${what}: does not match ${regex}:\n${text}")
  endif()
endfunction()

set(program ${ROOT}/usr/bin/stage-console)
# stage-console-ctl as installed, finding the module in the unpacked tree.
set(ctl ${CMAKE_COMMAND} -E env PYTHONPATH=${ROOT}/usr/${PYTHON_DIR} PYTHONDONTWRITEBYTECODE=1
        ${ROOT}/usr/bin/stage-console-ctl)

if(STEP STREQUAL "build")
  file(REMOVE ${DEB})
  run(cpack -G DEB --config ${BUILD_DIR}/CPackConfig.cmake)
  file(REMOVE_RECURSE ${ROOT})
  run(dpkg-deb -x ${DEB} ${ROOT})

elseif(STEP STREQUAL "contents")
  foreach(field Package Version Architecture Maintainer Section Priority Depends Recommends Description)
    run(dpkg-deb -f ${DEB} ${field})
    set(${field} "${out}")
  endforeach()
  expect("${Package}" "^stage-console\n$" "Package")
  expect("${Version}" "^${VERSION}\n$" "Version")
  expect("${Architecture}" "^${ARCH}\n$" "Architecture")
  expect("${Maintainer}" "^[^<\n]+ <[^@>\n]+@[^>\n]+>\n$" "Maintainer")
  expect("${Section}" "^science\n$" "Section")
  expect("${Priority}" "^optional\n$" "Priority")
  # Computed from the program's libraries, so Qt and the C++ runtime are in.
  expect("${Depends}" "libqt6widgets6 \\(>= [^)]+\\)" "Depends")
  expect("${Depends}" "libstdc\\+\\+6 \\(>= [^)]+\\)" "Depends")
  # stage-console-ctl and the Python module.
  expect("${Depends}" "(^|, )python3(,|\n)" "Depends")
  expect("${Recommends}" "^fonts-liberation\n$" "Recommends")
  # A summary line, then a long description of several lines.
  expect("${Description}" "^[a-z][^\n]+\n [^\n]+\n [^\n]+\n" "Description")

  run(dpkg-deb -c ${DEB})
  string(REPLACE "\n" ";" lines "${out}")
  set(files)
  foreach(line IN LISTS lines)
    if(line STREQUAL "")
      continue()
    endif()
    string(REGEX REPLACE "^.* \\./" "" path "${line}")
    if(NOT path MATCHES "^(usr/|lib/$|lib/udev/)")
      message(FATAL_ERROR "outside /usr and /lib/udev: ${line}")
    endif()
    if(NOT line MATCHES "^d")
      list(APPEND files ${path})
    endif()
  endforeach()
  string(REPLACE "|" ";" expected "${EXPECTED}")
  list(SORT expected)
  list(SORT files)
  if(NOT files STREQUAL expected)
    set(missing ${expected})
    list(REMOVE_ITEM missing ${files})
    set(extra ${files})
    list(REMOVE_ITEM extra ${expected})
    message(FATAL_ERROR "the package's files differ from the expected.\nmissing: ${missing}\nextra: ${extra}")
  endif()

elseif(STEP STREQUAL "run")
  run(${program} --version)
  expect("${out}" "^stage-console ${VERSION}\nCopyright \\(C\\) [0-9]+ [^\n]+\nLicense GPLv3\\+: " "--version")
  run(${program} --help)
  expect("${out}" "^Usage: stage-console " "--help")
  # The stripped program starts its windows, icon and fonts included.
  file(REMOVE_RECURSE ${ROOT}-render)
  run(${program} --simulate 2 --render-windows ${ROOT}-render)
  foreach(picture motor-settings main-window axis-controls)
    if(NOT EXISTS ${ROOT}-render/${picture}.png)
      message(FATAL_ERROR "--render-windows wrote no ${picture}.png")
    endif()
  endforeach()
  run(${ctl} --version)
  expect("${out}" "^stage-console-ctl ${VERSION}\nCopyright \\(C\\) [0-9]+ [^\n]+\nLicense GPLv3\\+: " "ctl --version")
  run(${ctl} --help)
  expect("${out}" "^Usage: stage-console-ctl " "ctl --help")

elseif(STEP STREQUAL "desktop")
  run(desktop-file-validate ${ROOT}/usr/share/applications/${APP_ID}.desktop)
  if(NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "desktop-file-validate:\n${out}${err}")
  endif()

elseif(STEP STREQUAL "metainfo")
  run(appstreamcli validate --no-net ${ROOT}/usr/share/metainfo/${APP_ID}.metainfo.xml)
  message(STATUS "${out}")

elseif(STEP STREQUAL "manual")
  set(ENV{LC_ALL} C.UTF-8)
  set(ENV{MANROFFSEQ} "")
  # Each page: rendered without a warning, its sections, and every option
  # its program's --help lists.
  foreach(page stage-console stage-console-ctl)
    set(file ${ROOT}/usr/share/man/man1/${page}.1.gz)
    set(ENV{MANWIDTH} 80)
    run(man --warnings -E UTF-8 -l -Tutf8 -Z ${file})
    if(NOT err STREQUAL "")
      message(FATAL_ERROR "man -l ${page}.1.gz warns:\n${err}")
    endif()
    # Not on a terminal, man gives plain text; lines this wide break no option.
    set(ENV{MANWIDTH} 1000)
    run(man -l ${file})
    set(page_text "${out}")
    if(page STREQUAL "stage-console")
      set(sections NAME SYNOPSIS DESCRIPTION OPTIONS KEYBOARD FILES ENVIRONMENT "EXIT STATUS" EXAMPLES)
      run(${program} --help)
    else()
      set(sections NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS ENVIRONMENT "EXIT STATUS" EXAMPLES)
      run(${ctl} --help)
    endif()
    foreach(section IN LISTS sections)
      expect("${page_text}" "\n${section}\n" "${page}(1)'s sections")
    endforeach()
    string(REGEX MATCHALL "\n  (-[a-z], )?--[a-z-]+" options "${out}")
    list(LENGTH options count)
    if(count LESS 5)
      message(FATAL_ERROR "found only ${count} options in ${page} --help:\n${out}")
    endif()
    foreach(option IN LISTS options)
      string(REGEX REPLACE "^\n  (-[a-z], )?" "" option "${option}")
      string(FIND "${page_text}" "${option}" at)
      if(at EQUAL -1)
        message(FATAL_ERROR "${page}(1) does not describe ${option}")
      endif()
    endforeach()
  endforeach()

elseif(STEP STREQUAL "lintian")
  run(lintian --fail-on error,warning ${DEB})
  message(STATUS "${out}")

else()
  message(FATAL_ERROR "check_package.cmake: unknown STEP '${STEP}'")
endif()
