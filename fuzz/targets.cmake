# The fuzz targets, shared by the fuzz build and by the regression test that replays the
# inputs they found through the same harnesses.
#
# Graphic classes as CLASS:EXTENSION: the harness reaches the class through that extension.
set(PICTOLAN_GRAPHIC_FUZZERS
  TBitmap:bmp
  TIcon:ico
  TMetafile:wmf
  TJPEGImage:jpg
  TTargaGraphic:tga
  TPNGGraphic:png
  TPCXGraphic:pcx
  TPSPGraphic:psp
  TPSDGraphic:psd
  TSGIGraphic:sgi
  TRLAGraphic:rla
  TPPMGraphic:ppm
  TCUTGraphic:cut
  TAutodeskGraphic:cel
  TPCDGraphic:pcd
  TTIFFGraphic:tif
  TEPSGraphic:eps
)
# Decoders and the texture library: fuzz_NAME built from fuzz_NAME.cpp.
set(PICTOLAN_OTHER_FUZZERS packbits lz77 targa_rle texture fax)

# Calls fn(TARGET SOURCE DEFINITIONS...) for every target.
macro(pictolan_foreach_fuzzer fn)
  foreach(entry ${PICTOLAN_GRAPHIC_FUZZERS})
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 class)
    list(GET parts 1 extension)
    cmake_language(CALL ${fn} fuzz_${class} ${PROJECT_SOURCE_DIR}/fuzz/fuzz_graphic.cpp
      FUZZ_EXTENSION="${extension}" FUZZ_CLASS="${class}")
  endforeach()
  foreach(name ${PICTOLAN_OTHER_FUZZERS})
    cmake_language(CALL ${fn} fuzz_${name} ${PROJECT_SOURCE_DIR}/fuzz/fuzz_${name}.cpp)
  endforeach()
endmacro()
