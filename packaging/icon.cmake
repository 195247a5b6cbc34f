# The program's icon: one drawing, stage-console.svg, rendered at build time by
# rsvg-convert (librsvg2-bin) to the PNG sizes a desktop asks for, laid out as
# an icon theme's folders under STAGE_ICON_DIR. The windows carry the PNGs as
# a Qt resource; the install puts the drawing and the PNGs in hicolor.
set(STAGE_ICON_SVG ${CMAKE_CURRENT_LIST_DIR}/stage-console.svg)
set(STAGE_ICON_SIZES 16 22 24 32 48 64 128 256)
set(STAGE_ICON_DIR ${PROJECT_BINARY_DIR}/icons/hicolor)
find_program(RSVG_CONVERT rsvg-convert REQUIRED)

# Adds the rules that render every size; the PNGs' paths go into `out_var`.
# Called from the folder whose target uses the PNGs.
function(stage_render_icon out_var)
  set(pngs)
  foreach(size IN LISTS STAGE_ICON_SIZES)
    set(folder ${STAGE_ICON_DIR}/${size}x${size}/apps)
    add_custom_command(
      OUTPUT ${folder}/stage-console.png
      COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
      COMMAND ${RSVG_CONVERT} --width ${size} --height ${size} --output ${folder}/stage-console.png ${STAGE_ICON_SVG}
      DEPENDS ${STAGE_ICON_SVG}
      COMMENT "Rendering the ${size}x${size} icon"
      VERBATIM)
    list(APPEND pngs ${folder}/stage-console.png)
  endforeach()
  set(${out_var} ${pngs} PARENT_SCOPE)
endfunction()
