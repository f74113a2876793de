# The log viewer's line parser.
qx_add_fuzz(viewer_line LIBS qx_viewer_core)
