# The settings store of the station's own features.
qx_add_fuzz(station_ini LIBS qx_publish)
