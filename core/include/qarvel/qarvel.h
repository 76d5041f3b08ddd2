/* qarvel: JPEG decoding, encoding and resizing for in-process hosts.
 *
 * Every function reports failure by its result (-1, or a null pointer from
 * pre_alloc_imread) and, except ipp_resize and pre_alloc_imread, by lines
 * on standard output: its own, after those of the call that failed inside
 * it (qimread after qdecode's, qresize after qimread's or qimwrite's).
 * Pixel formats are TurboJPEG's: 0 is RGB, 1 is BGR, both three bytes per
 * pixel. Images are stored top row first; `pitch` and `step`
 * are the bytes from the start of one row to the start of the next.
 *
 * Buffers the library hands out come from TurboJPEG's allocator and are
 * released with qFree. The library keeps no state and starts no threads, so
 * calls may run on several threads at once. */
#ifndef QARVEL_QARVEL_H
#define QARVEL_QARVEL_H

#if defined(__GNUC__)
#define QARVEL_API __attribute__((visibility("default")))
#else
#define QARVEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Printable names for TurboJPEG's codes, indexed by the code's value:
 * chroma subsampling (TJSAMP_*), JPEG colour space (TJCS_*) and the two pixel
 * formats the library uses. The library never writes them. */
QARVEL_API extern const char* subsampName[6];
QARVEL_API extern const char* colorspaceName[5];
QARVEL_API extern const char* colorfmtName[2];

/* Decodes one JPEG image held in memory into packed pixels of `clr_format`.
 * On success *image_buffer holds exactly *pitch x *height bytes, with
 * *pitch = *width x bytes per pixel; the caller owns it and releases it with
 * qFree. On failure *image_buffer must be neither used nor freed: it is
 * untouched when the arguments or the header are refused, and null when the
 * call fails at or after allocating (an image of 2^31 bytes or more, no
 * memory, a scan that does not decode). */
QARVEL_API int qdecode(const unsigned char* jpeg_buffer, unsigned long jpeg_size,
                       unsigned char** image_buffer, int* width, int* height, int* pitch,
                       int clr_format);

/* A new, uninitialised 132,710,400-byte library buffer (7680 x 4320 x 4),
 * large enough for any image that qdecode2 and qimread2 accept, or null.
 * Release it with qFree. Prints nothing. */
QARVEL_API unsigned char* pre_alloc_imread(void);

/* Releases a buffer the library handed out; does nothing for null.
 * Always returns 0. */
QARVEL_API int qFree(unsigned char* buffer);

/* Encodes packed pixels into a JPEG (4:2:2 chroma subsampling, quality 85).
 * *jpeg_buffer and *jpeg_size are TurboJPEG's in-out pair: pass null and 0 to
 * have a buffer allocated, or a tjAlloc buffer and its size to have it used or
 * replaced by a larger one (the original then stays the caller's to release).
 * The caller releases *jpeg_buffer with qFree, even after a failure when it is
 * not null. */
QARVEL_API int qencode(const unsigned char* image_buffer, int width, int height, int pitch,
                       int clr_format, unsigned char** jpeg_buffer, unsigned long* jpeg_size);

/* Reads and decodes a whole JPEG file, as qdecode does. Accepts only RGB (0)
 * and BGR (1). On success the caller releases *image_buffer with qFree. */
QARVEL_API int qimread(const char* filename, unsigned char** image_buffer, int* width,
                       int* height, int* pitch, int clr_format);

/* Reads and decodes a whole JPEG file into the caller's buffer, as qdecode2
 * does: images over 7680 x 4320 are refused, with their size reported. */
QARVEL_API int qimread2(const char* filename, unsigned char* image_buffer, int* width,
                        int* height, int* pitch, int clr_format);

/* Encodes an image as qencode does and writes it to `filename`, created or
 * truncated. The file is opened only once the encoding has succeeded. */
QARVEL_API int qimwrite(const char* filename, const unsigned char* image_buffer, int width,
                        int height, int pitch, int clr_format);

/* Reads a JPEG file, resizes it to dst_width x dst_height (dst_height 0 keeps
 * the aspect ratio) and writes the result as a new JPEG file. Prints progress
 * and timing lines on standard output. */
QARVEL_API int qresize(const char* infile_path_name, int dst_width, int dst_height,
                       const char* outfile_path_name);

#ifdef __cplusplus
} /* extern "C" */

/* These two are C++ functions, exported under their mangled names. */

/* qdecode into the caller's buffer, which must hold *pitch x *height bytes.
 * Images wider than 7680 or taller than 4320 are refused after *width,
 * *height and *pitch are set, so the caller learns the size it needs. */
QARVEL_API int qdecode2(const unsigned char* jpeg_buffer, unsigned long jpeg_size,
                        unsigned char* image_buffer, int* width, int* height, int* pitch,
                        int clr_format);

/* Resizes a 3-channel, 8-bit interleaved image into `dst`: area averaging
 * when neither dimension grows, linear interpolation otherwise. Fails with -1
 * and prints nothing; on success prints one timing line. */
QARVEL_API int ipp_resize(unsigned char* src, int src_width, int src_height, int src_step,
                          unsigned char* dst, int dst_width, int dst_height, int dst_step);
#endif

#endif /* QARVEL_QARVEL_H */
