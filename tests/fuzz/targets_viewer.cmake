# The log viewer's line parser.
if(TARGET qx_viewer_core)
  qx_add_fuzz(viewer_line LIBS qx_viewer_core)
endif()
