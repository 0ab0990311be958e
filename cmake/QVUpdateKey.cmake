# qv_generate_update_key(KEY_FILE OUT_DIR): writes OUT_DIR/QVUpdateKey.h holding the publisher's
# update-signing public key (DER SubjectPublicKeyInfo of a P-256 key, as written by
# "openssl ec -pubout -outform DER"). An empty KEY_FILE gives a header without a key: that build
# installs no updates.
function(qv_generate_update_key key_file out_dir)
    set(QV_KEY_BYTES "")
    set(QV_KEY_SIZE 0)
    if(key_file)
        if(NOT EXISTS "${key_file}")
            message(FATAL_ERROR "Update public key ${key_file} does not exist")
        endif()
        file(READ "${key_file}" hex HEX)
        string(LENGTH "${hex}" hex_length)
        # The fixed DER prefix of a P-256 key with an uncompressed point, then 64 bytes of X and Y.
        string(SUBSTRING "${hex}" 0 54 prefix)
        if(NOT hex_length EQUAL 182 OR NOT prefix STREQUAL "3059301306072a8648ce3d020106082a8648ce3d03010703420004")
            message(FATAL_ERROR "${key_file} is not a P-256 public key in DER SubjectPublicKeyInfo form")
        endif()
        string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " QV_KEY_BYTES "${hex}")
        set(QV_KEY_SIZE 91)
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key_file}")
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/resources/QVUpdateKey.h.in ${out_dir}/QVUpdateKey.h @ONLY)
endfunction()
