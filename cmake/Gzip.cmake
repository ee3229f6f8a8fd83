# cmake -DGZIP=<gzip> -DIN=<file> -DOUT=<file.gz> -P Gzip.cmake
# gzip -9n: the highest compression, and no file name or time stamp inside.
execute_process(COMMAND ${GZIP} -9nc ${IN} OUTPUT_FILE ${OUT}.tmp RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
    file(REMOVE ${OUT}.tmp)
    message(FATAL_ERROR "gzip ${IN}: ${_rc}")
endif()
file(RENAME ${OUT}.tmp ${OUT})
