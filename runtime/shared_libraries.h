// Libraries the runtime loads only when a job first needs them: libopenjp2
// for JPEG 2000 pictures and libimagequant (which brings its OpenMP runtime)
// for palette reduction. Most runs need neither, and mapping them, resolving
// their symbols and starting OpenMP cost about 0.7 ms of every start. Their
// headers still give the types; the functions come from one table per
// library, filled from the Debian soname with dlopen.
//
// When a library cannot be loaded, or lacks a function, the job that needed
// it fails as a damaged picture would, and the loader's message is kept for
// the rest of the entry-point call (HostFault in host_services.h).
#pragma once

#include <libimagequant.h>
#include <openjpeg.h>

#include <string>

namespace tessel::runtime {

// The functions each table holds, named as the library exports them.
#define TESSEL_OPENJPEG_FUNCTIONS(X)                                                                               \
    X(opj_stream_create) X(opj_stream_destroy) X(opj_stream_set_user_data) X(opj_stream_set_user_data_length)     \
    X(opj_stream_set_read_function) X(opj_stream_set_skip_function) X(opj_stream_set_seek_function)               \
    X(opj_create_decompress) X(opj_destroy_codec) X(opj_image_destroy) X(opj_set_info_handler)                     \
    X(opj_set_warning_handler) X(opj_set_error_handler) X(opj_set_default_decoder_parameters) X(opj_setup_decoder) \
    X(opj_decoder_set_strict_mode) X(opj_read_header) X(opj_decode) X(opj_end_decompress)
#define TESSEL_IMAGEQUANT_FUNCTIONS(X)                                                                        \
    X(liq_attr_create) X(liq_attr_destroy) X(liq_set_max_colors) X(liq_set_speed) X(liq_set_quality)         \
    X(liq_histogram_create) X(liq_histogram_destroy) X(liq_histogram_add_colors) X(liq_histogram_quantize) \
    X(liq_get_palette) X(liq_result_destroy)

#define TESSEL_LIBRARY_SLOT(name) decltype(&::name) name = nullptr;
struct OpenJpegFunctions {
    TESSEL_OPENJPEG_FUNCTIONS(TESSEL_LIBRARY_SLOT)
};
struct ImageQuantFunctions {
    TESSEL_IMAGEQUANT_FUNCTIONS(TESSEL_LIBRARY_SLOT)
};
#undef TESSEL_LIBRARY_SLOT

inline constexpr const char* OPENJPEG_SONAME = "libopenjp2.so.7";
inline constexpr const char* IMAGEQUANT_SONAME = "libimagequant.so.0";

// The library's table, loaded on the first call and kept for the process;
// null, with the loader's message noted as the call's HostFault, when the
// library or one of its functions is missing.
const OpenJpegFunctions* OpenJpeg();
const ImageQuantFunctions* ImageQuant();

// A library opened by soname and never closed (libimagequant's OpenMP
// threads must not outlive their code). Resolve fills one slot of a table.
class SharedLibrary {
public:
    explicit SharedLibrary(const char* soname);
    template <typename Function>
    bool Resolve(const char* name, Function& slot)
    {
        void* symbol = Find(name);
        slot = reinterpret_cast<Function>(symbol);
        return symbol != nullptr;
    }
    // The first failure, in dlerror's words (naming the library); empty while
    // every step has succeeded.
    const std::string& Fault() const { return fault_; }

private:
    void* Find(const char* name);
    void* handle_ = nullptr;
    std::string fault_;
};

}  // namespace tessel::runtime
