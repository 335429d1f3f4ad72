# The banner bitmap IDB_BANNER is drawn by tools/make_banner.py at build time and
# compiled into the program as a byte array (src/ui/banner.cpp includes it); the
# program never reads it from the installation. The BMP file itself lands beside the
# array, for the Windows resource script and for the tests that compare screenshots.
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(ZD_BANNER_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
set(ZD_BANNER_BMP ${ZD_BANNER_DIR}/banner.bmp)
set(ZD_BANNER_INC ${ZD_BANNER_DIR}/banner_bmp.inc)

add_custom_command(
  OUTPUT ${ZD_BANNER_BMP} ${ZD_BANNER_INC}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZD_BANNER_DIR}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/tools/make_banner.py ${ZD_BANNER_BMP} ${ZD_BANNER_INC}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tools/make_banner.py
  COMMENT "Drawing the banner bitmap"
  VERBATIM)
set_source_files_properties(${ZD_BANNER_INC} PROPERTIES HEADER_FILE_ONLY TRUE GENERATED TRUE)
target_sources(zd_core PRIVATE ${ZD_BANNER_INC})
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/src/ui/banner.cpp PROPERTIES OBJECT_DEPENDS ${ZD_BANNER_INC})
