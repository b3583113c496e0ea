# cmake -DSRC=<folder> -DDST=<folder> -P copypictures.cmake
# Copies the pictures and style sheets of one page folder; a script, because the emoji
# folder holds more files than one command line can name.
file(MAKE_DIRECTORY "${DST}")
file(COPY "${SRC}/" DESTINATION "${DST}"
    FILES_MATCHING PATTERN "*.png" PATTERN "*.jpg" PATTERN "*.css")
