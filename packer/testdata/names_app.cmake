# cmake -DAPP=<folder> -DMAIN=<a main library> -P names_app.cmake: an app folder whose names
# Windows handles only through UTF-16 and long paths: Latin and Cyrillic letters, spaces, and
# a file more than 300 characters below the folder.
file(REMOVE_RECURSE "${APP}")
file(MAKE_DIRECTORY "${APP}")
file(COPY_FILE "${MAIN}" "${APP}/main.dll")
file(WRITE "${APP}/Zoë.txt" "Zoë\n")
file(WRITE "${APP}/Мой проект/данные.txt" "данные\n")
string(REPEAT "ü" 80 part)
file(WRITE "${APP}/${part}1/${part}2/${part}3/${part}4/deep.txt" "far below\n")
