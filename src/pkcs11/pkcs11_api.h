// The Cryptoki 2.40 interface as p11-kit ships it. Its compatibility mode maps
// the standard field names onto its own through lower-case macros (value,
// count, reserved, ...), which would rewrite ordinary C++ names such as
// std::optional::value() in every file that includes it; they are undone here
// once the declarations are read, so the standard names (pValue, ulValueLen,
// ulCount, ...) are the ones in use.
#pragma once

#include <p11-kit/pkcs11.h>

#undef cryptoki_version
#undef manufacturer_id
#undef library_description
#undef library_version
#undef slot_description
#undef hardware_version
#undef firmware_version
#undef serial_number
#undef max_session_count
#undef session_count
#undef max_rw_session_count
#undef rw_session_count
#undef max_pin_len
#undef min_pin_len
#undef total_public_memory
#undef free_public_memory
#undef total_private_memory
#undef free_private_memory
#undef utc_time
#undef slot_id
#undef device_error
#undef value
#undef value_len
#undef count
#undef parameter
#undef parameter_len
#undef params
#undef min_key_size
#undef max_key_size
#undef create_mutex
#undef destroy_mutex
#undef lock_mutex
#undef unlock_mutex
#undef reserved
#undef hash_alg
#undef s_len
#undef source_data
#undef source_data_len
#undef counter_bits
#undef iv_ptr
#undef iv_len
#undef iv_bits
#undef aad_ptr
#undef aad_len
#undef tag_bits
#undef shared_data_len
#undef shared_data
#undef public_data_len
#undef public_data
#undef string_data
#undef string_data_len
#undef data_params
