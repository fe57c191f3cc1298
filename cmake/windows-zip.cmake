# The ZIP a Windows user unpacks: sens.exe (without its debugging information),
# a file to double-click that starts its page in the browser, the manual as a
# page to open in a browser (made from docs/sens.1 with groff at build time),
# the README, the licence (the libraries built in included) and the changelog.
find_program(SENS_GROFF groff REQUIRED)
set(zip_dir ${CMAKE_BINARY_DIR}/zip/sens-${PROJECT_VERSION}-win64)
set(zip ${CMAKE_BINARY_DIR}/sens-${PROJECT_VERSION}-win64.zip)
add_custom_command(
  OUTPUT ${zip}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/zip
  COMMAND ${CMAKE_COMMAND} -E make_directory ${zip_dir}
  COMMAND ${CMAKE_STRIP} -o ${zip_dir}/sens.exe $<TARGET_FILE:sens>
  COMMAND ${CMAKE_COMMAND} -E copy "${CMAKE_SOURCE_DIR}/packaging/Start sens in the browser.cmd"
          ${zip_dir}/
  COMMAND ${SENS_GROFF} -man -Thtml -P-l ${CMAKE_SOURCE_DIR}/docs/sens.1 > ${zip_dir}/sens.html
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/README.md ${zip_dir}/README.md
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/packaging/copyright ${zip_dir}/LICENCE.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/packaging/changelog ${zip_dir}/changelog.txt
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/zip
          ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip sens-${PROJECT_VERSION}-win64
  DEPENDS sens docs/sens.1 README.md packaging/copyright packaging/changelog
          "packaging/Start sens in the browser.cmd"
  VERBATIM)
add_custom_target(zip ALL DEPENDS ${zip})
