# The application icon: packaging/icons/qx-com.svg rendered with rsvg-convert at the sizes of the
# hicolor theme into QX_ICON_DIR (N.png), for the installed theme icons and the window icon.
set(QX_ICON_SVG ${PROJECT_SOURCE_DIR}/packaging/icons/qx-com.svg)
set(QX_ICON_DIR ${PROJECT_BINARY_DIR}/icons)
set(QX_ICON_SIZES 16 32 48 64 128 256)

# Adds the rendered icons to target's Qt resources, under ":/icons/N.png".
function(qx_add_program_icon target)
  find_program(RSVG_CONVERT rsvg-convert REQUIRED)
  set(pngs)
  foreach(size IN LISTS QX_ICON_SIZES)
    add_custom_command(OUTPUT ${QX_ICON_DIR}/${size}.png
      COMMAND ${CMAKE_COMMAND} -E make_directory ${QX_ICON_DIR}
      COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${QX_ICON_DIR}/${size}.png ${QX_ICON_SVG}
      DEPENDS ${QX_ICON_SVG}
      COMMENT "Rendering the ${size} x ${size} icon")
    list(APPEND pngs ${QX_ICON_DIR}/${size}.png)
  endforeach()
  qt_add_resources(${target} qx_icons PREFIX /icons BASE ${QX_ICON_DIR} FILES ${pngs})
endfunction()
