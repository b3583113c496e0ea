# The bubble view renders message records into a web view.
target_link_libraries(qm_view PUBLIC qm_messages Qt5::WebKitWidgets)
