# The include order of src/README.md: no file includes a header of a higher
# stage.
add_test(NAME layout.include_order COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/include_order.sh ${PROJECT_SOURCE_DIR})
