# The settings store of the station's own features.
if(TARGET qx_publish)
  qx_add_fuzz(station_ini LIBS qx_publish)
endif()
