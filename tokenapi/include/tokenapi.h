/* The key API: every function an application needs to use a Tarvex USB token.
 *
 * Every function returns a 32-bit result: 0 for success, the token's status word unchanged
 * when the token refused a command (0x6A82, 0x6982, ...), -1 when no exchange could be made,
 * or one of the library codes below. Outputs go through pointer arguments; the caller owns
 * every buffer it passes. */
#ifndef TOKENAPI_H
#define TOKENAPI_H

#include <stdint.h>

#if defined(_WIN32)
#define XAPI_CALL __stdcall
#ifdef BUILDING_TOKENAPI
#define XAPI_EXPORT __declspec(dllexport)
#else
#define XAPI_EXPORT __declspec(dllimport)
#endif
#else
#define XAPI_CALL
#define XAPI_EXPORT __attribute__((visibility("default")))
#endif

#define XAPI XAPI_EXPORT int32_t XAPI_CALL

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes (besides the token's status words) ----
 * The one list of the library's result codes, as X(name, value, meaning). It defines the
 * XR_ constants below; tests expand it to know every code the library may give. */
#define XR_RESULT_CODES(X)                                                                   \
    X(XR_OK, 0, "success")                                                                   \
    X(XR_TRANSPORT, -1, "no exchange, or a reply the library does not know")                 \
    X(XR_LOCK_UNAVAILABLE, 0x10000, "the key API lock could not be opened or created")       \
    X(XR_DEVICE_LOST, 0x10001, "the device was lost (or a device number out of range)")      \
    X(XR_BAD_HANDLE, 0x10003, "null, stale or lost device handle, or a null object pointer") \
    X(XR_NO_ROOM, 0x10004, "no room for a new file")                                         \
    X(XR_LOCK_TIMEOUT, 0x10005, "the key API lock was not free within 5 seconds")            \
    X(XR_NOT_FOUND, 0x20001, "file, certificate or key not found")                           \
    X(XR_NAME_LENGTH, 0x20002, "container name length outside 1 to 120")                     \
    X(XR_FILE_EXISTS, 0x20004, "a file of that name already exists")                         \
    X(XR_NO_CONTAINER_SLOT, 0x30001, "no free container slot")                               \
    X(XR_CONTAINER_EXISTS, 0x30002, "a container of that name already exists")               \
    X(XR_BAD_CONTAINER, 0x30003, "not a valid container handle")                             \
    X(XR_BAD_CONTAINER_NAME, 0x30004, "the container name does not end in 1 or 2")           \
    X(XR_BAD_ALGORITHM, 0x30005, "unsupported algorithm identifier")                         \
    X(XR_BAD_KEY_LENGTH, 0x30006, "key length does not fit the algorithm")                   \
    X(XR_BAD_DATA_LENGTH, 0x30007, "data length not acceptable for the operation")           \
    X(XR_BAD_PADDING, 0x30008, "the padding of the last deciphered block is wrong")          \
    X(XR_WRONG_KEY_KIND, 0x30009, "key handle of the wrong kind for the operation")          \
    X(XR_BAD_SIGNATURE, 0x30011, "signature does not verify")                                \
    X(XR_CERT_TOO_LONG, 0x30012, "certificate longer than 2,048 bytes")                      \
    X(XR_KEY_UNAVAILABLE, 0x30013, "the requested key is not available")                     \
    X(XR_BAD_PKCS1_BLOCK, 0x30014, "a deciphered block is not a valid PKCS #1 v1.5 block")   \
    X(XR_DIGEST_FINISHED, 0x30015, "the digest session is already finished")                 \
    X(XR_PIN_INCORRECT, 0x40001, "wrong PIN; tries left written to the retry output")        \
    X(XR_PIN_TOO_LONG, 0x40002, "PIN longer than 16 bytes")                                  \
    X(XR_PIN_BLOCKED, 0x40003, "the PIN is blocked")                                         \
    X(XR_NOT_VERIFIED, 0x40005, "security state not satisfied: no verified PIN")             \
    X(XR_UNSUPPORTED, 0x50001, "unknown information type or unsupported request")            \
    X(XR_BAD_PARAMETER, 0x50002, "invalid parameter")

#define XR_DEFINE_CODE(name, value, meaning) name = (value),
enum XResultCode { XR_RESULT_CODES(XR_DEFINE_CODE) };
#undef XR_DEFINE_CODE

/* ---- Handles ---- */
typedef struct DeviceHandle DeviceHandle; /* from X_ConnectDEV, freed by X_DisConnectDEV */
typedef struct ContainerHandle
    ContainerHandle; /* 7 bytes, from X_OpenContainer/X_CreateContainer */

/* X_GetDEVInfo information types */
#define XINFO_NAME 0
#define XINFO_TYPE2 2
#define XINFO_TYPE3 3
#define XINFO_SERIAL 7
#define XINFO_SECURITY_STATE 8
#define XINFO_ADMIN_RETRIES 9

/* PIN types */
#define XPIN_ADMIN 0
#define XPIN_USER 1
#define XPIN_USER_DDF2 2

/* One entry of X_EnumFilesEx (44 bytes). */
typedef struct XFileEntry {
    char name[32];
    uint32_t nameLength;
    uint32_t protection; /* 1: created with access rights, 256: without */
    uint32_t size;       /* declared size */
} XFileEntry;
#define XFILE_MAX_ENTRIES 20

/* ---- Device management ----
 * Several threads may use one device handle at once. X_DisConnectDEV waits until the calls
 * already running on the handle have ended; calls made on it once it has started give
 * XR_BAD_HANDLE. X_EnumDEV and X_ConnectDEV are for one thread at a time.
 * X_TransmitCmd: *replyLength is the reply buffer's size on entry and the reply's length on
 * return; a longer reply gives XR_BAD_PARAMETER with the needed length, nothing copied. The
 * reply comes with whatever status word the token gave, which goes to *status.
 * X_GetDEVInfo: the buffer must hold 21 bytes for XINFO_SERIAL (20 digits and a terminator),
 * 7 for XINFO_NAME and 1 for the other types. */
XAPI X_EnumDEV(uint32_t reserved, uint32_t* count);
XAPI X_ConnectDEV(DeviceHandle** device, int32_t number);
XAPI X_DisConnectDEV(DeviceHandle* device);
XAPI X_TransmitCmd(DeviceHandle* device, const uint8_t* command, uint32_t commandLength,
                   uint8_t* reply, uint32_t* replyLength, int32_t* status);
XAPI X_GetDEVInfo(DeviceHandle* device, uint32_t type, uint8_t* buffer, uint32_t* length);
XAPI X_SetDEVLabel(DeviceHandle* device, const uint8_t* label, uint32_t length);
XAPI X_ClearDevice(DeviceHandle* device);
XAPI X_InitDEVInfo(void);
XAPI X_BeginTransaction(void);
XAPI X_EndTransaction(void);

/* ---- PINs and random numbers ----
 * PINs have at most 16 bytes (XR_PIN_TOO_LONG otherwise, before anything is sent). A wrong PIN
 * gives XR_PIN_INCORRECT with the tries left written to *retry (when retry is not null); a
 * blocked PIN gives XR_PIN_BLOCKED with *retry = 0. While a container is open, every
 * verification goes to that container's directory whatever the type.
 * X_ChangePIN and X_UnblockPIN refuse a new PIN with a byte of 0x80 or more (XR_BAD_PARAMETER,
 * nothing sent): the token stores PINs with each byte shifted left by one bit, so such a PIN
 * could never be verified again. An empty new PIN is refused the same way. X_UnblockPIN with a null
 * or empty administrator PIN sends no verification and leaves the decision to the token's own
 * security state. X_GenRandom: one GET CHALLENGE per 8 bytes; bytes already delivered stay in the
 * buffer when a later command fails. */
XAPI X_VerifyPIN(DeviceHandle* device, uint32_t type, const uint8_t* pin, uint32_t pinLength,
                 uint32_t* retry);
XAPI X_ChangePIN(DeviceHandle* device, uint32_t type, const uint8_t* oldPin, uint32_t oldLength,
                 const uint8_t* newPin, uint32_t newLength, uint32_t* retry);
XAPI X_UnblockPIN(DeviceHandle* device, const uint8_t* adminPin, uint32_t adminLength,
                  const uint8_t* newUserPin, uint32_t newLength, uint32_t* retry);
XAPI X_ClearSecureState(DeviceHandle* device);
XAPI X_GenRandom(DeviceHandle* device, uint8_t* buffer, uint32_t length);

/* ---- Files ----
 * Names are terminated strings of 1 to 16 characters (X_DeleteFile: name and length, 1 to 20).
 * Files live in the token's application directory (the second one while a container of the
 * second directory is open).
 * X_ReadFile: the buffer must hold `length` bytes, or, when length is 0 (to the end of the
 * content), the whole content: up to 0x7FFF bytes.
 * X_WriteFile: the file's content length becomes offset + dataLength, also when it was longer.
 * X_EnumFiles: the names, each followed by a zero byte, with the total length; a null buffer
 * asks for the length only. The buffer must hold 20 x 21 bytes.
 * X_EnumFilesEx: the buffer must hold XFILE_MAX_ENTRIES entries; only each name's own bytes are
 * written into its name field. */
XAPI X_CreateFile(DeviceHandle* device, const char* name, uint32_t size, uint32_t access);
XAPI X_ReadFile(DeviceHandle* device, const char* name, uint32_t offset, uint32_t length,
                uint8_t* buffer, uint32_t* readLength);
XAPI X_WriteFile(DeviceHandle* device, const char* name, uint32_t offset, const uint8_t* data,
                 uint32_t dataLength, uint32_t* written);
XAPI X_DeleteFile(DeviceHandle* device, const char* name, uint32_t nameLength);
XAPI X_EnumFiles(DeviceHandle* device, char* buffer, uint32_t* length);
XAPI X_EnumFilesEx(DeviceHandle* device, XFileEntry* entries, uint32_t* count);

/* ---- Containers and certificates ----
 * Container names are terminated strings of 1 to 120 bytes (XR_NAME_LENGTH otherwise).
 * X_EnumContainer: the buffer must hold 256 bytes. A null container handle gives
 * XR_BAD_HANDLE; a pointer that is not a live container handle (closed, destroyed, never handed
 * out) gives XR_BAD_CONTAINER. X_CloseContainer, X_GetContainerInfo and X_GetContainerInfoEx
 * send nothing to the token, so they also work after the device was lost.
 * Certificates: at most 2,048 bytes (XR_CERT_TOO_LONG); the export buffer must hold 2,048 bytes
 * (a null buffer asks for the length only). X_ImportUserCert and X_ExportUserCert take type 1
 * or 2, or 3 for the root certificate; X_DeletetUserCert takes type 1 or 2, any other value
 * deletes the root certificate. Closing or destroying a container waits for the calls running
 * on it. */
XAPI X_EnumContainer(DeviceHandle* device, char* buffer, uint32_t* length);
XAPI X_OpenContainer(DeviceHandle* device, const char* name, ContainerHandle** container);
XAPI X_CloseContainer(DeviceHandle* device, ContainerHandle* container);
XAPI X_CreateContainer(DeviceHandle* device, const char* name, ContainerHandle** container);
XAPI X_DestroyContainer(DeviceHandle* device, ContainerHandle* container);
XAPI X_GetContainerInfo(DeviceHandle* device, ContainerHandle* container, uint32_t* info);
XAPI X_GetContainerInfoEx(DeviceHandle* device, ContainerHandle* container, uint32_t* info,
                          uint8_t* rootFlag);
XAPI X_ImportUserCert(DeviceHandle* device, ContainerHandle* container, uint32_t type,
                      const uint8_t* cert, uint32_t length);
XAPI X_ExportUserCert(DeviceHandle* device, ContainerHandle* container, uint32_t type,
                      uint8_t* buffer, uint32_t* length);
XAPI X_ImportRootCert(DeviceHandle* device, ContainerHandle* container, const uint8_t* cert,
                      uint32_t length);
XAPI X_ExportRootCert(DeviceHandle* device, ContainerHandle* container, uint8_t* buffer,
                      uint32_t* length);
XAPI X_DeletetUserCert(DeviceHandle* device, ContainerHandle* container, uint32_t type);

/* ---- Symmetric ciphers on the token ----
 * Algorithm identifiers, with key and block lengths: XCIPHER_BLOCK8 (8, 8), XCIPHER_BLOCK16
 * (16, 16), XCIPHER_SSF33 and XCIPHER_SM1 (16, 16; the only two the CBC calls take). Another
 * identifier gives XR_BAD_ALGORITHM, a key of the wrong length XR_BAD_KEY_LENGTH (the
 * identifier is judged first), a data length the call cannot take XR_BAD_DATA_LENGTH; all
 * before anything is sent. The key goes to the token's single key register at every one-shot
 * call and once at Init; the host keeps no copy.
 * Output buffers: X_Encrypt length + block length bytes; X_Decrypt, the NoPad and CBC calls
 * length bytes; X_EncryptUpdate and X_DecryptUpdate length + block length bytes;
 * X_EncryptFinal two blocks (32 bytes), X_DecryptFinal one block (16 bytes).
 * X_Decrypt needs at least one block (a multiple of the block length) and gives
 * XR_BAD_PADDING when the padding is wrong, with the output wiped. The CBC calls read the
 * initial value (16 bytes) and never update it: to go on with a stream, pass the last cipher
 * block yourself.
 * A token reply to a data command that is not exactly as long as the data gives -1; 0x6901
 * from the token (no key loaded) gives XR_KEY_UNAVAILABLE.
 * Sessions: X_EncryptInit (exported also as X_DecryptInit: a session does not record its
 * direction) loads the key and makes a session; Update keeps back at least one byte and at
 * most a block for Final; a successful Final releases the session, as does X_DisConnectDEV of
 * its device. A null or released session gives XR_BAD_PARAMETER, as does a device handle
 * other than the one the session was made on. A session whose key another cipher call of
 * this process on the same device handle replaced gives XR_KEY_UNAVAILABLE, and one whose
 * Update failed on the way gives that failure again from every later call: its stream is
 * broken, and the next Final releases it. A Final that fails otherwise keeps the session, so
 * it can be finalised again. */
#define XCIPHER_BLOCK8 1
#define XCIPHER_BLOCK16 16
#define XCIPHER_SSF33 256
#define XCIPHER_SM1 4096
typedef struct CipherSession CipherSession; /* from X_EncryptInit, freed by a successful Final */

XAPI X_Encrypt(DeviceHandle* device, uint32_t algorithm, const uint8_t* key, uint32_t keyLength,
               const uint8_t* data, uint32_t length, uint8_t* output, uint32_t* outputLength);
XAPI X_Decrypt(DeviceHandle* device, uint32_t algorithm, const uint8_t* key, uint32_t keyLength,
               const uint8_t* data, uint32_t length, uint8_t* output, uint32_t* outputLength);
XAPI X_EncryptNoPad(DeviceHandle* device, uint32_t algorithm, const uint8_t* key,
                    uint32_t keyLength, const uint8_t* data, uint32_t length, uint8_t* output,
                    uint32_t* outputLength);
XAPI X_DecryptNoPad(DeviceHandle* device, uint32_t algorithm, const uint8_t* key,
                    uint32_t keyLength, const uint8_t* data, uint32_t length, uint8_t* output,
                    uint32_t* outputLength);
XAPI X_EncryptNoPad_CBC(DeviceHandle* device, uint32_t algorithm, const uint8_t* key,
                        uint32_t keyLength, const uint8_t* initialValue, const uint8_t* data,
                        uint32_t length, uint8_t* output, uint32_t* outputLength);
XAPI X_DecryptNoPad_CBC(DeviceHandle* device, uint32_t algorithm, const uint8_t* key,
                        uint32_t keyLength, const uint8_t* initialValue, const uint8_t* data,
                        uint32_t length, uint8_t* output, uint32_t* outputLength);
XAPI X_EncryptInit(DeviceHandle* device, CipherSession** session, uint32_t algorithm,
                   const uint8_t* key, uint32_t keyLength);
XAPI X_DecryptInit(DeviceHandle* device, CipherSession** session, uint32_t algorithm,
                   const uint8_t* key, uint32_t keyLength);
XAPI X_EncryptUpdate(DeviceHandle* device, CipherSession* session, const uint8_t* data,
                     uint32_t length, uint8_t* output, uint32_t* outputLength);
XAPI X_DecryptUpdate(DeviceHandle* device, CipherSession* session, const uint8_t* data,
                     uint32_t length, uint8_t* output, uint32_t* outputLength);
XAPI X_EncryptFinal(DeviceHandle* device, CipherSession* session, uint8_t* output,
                    uint32_t* outputLength);
XAPI X_DecryptFinal(DeviceHandle* device, CipherSession* session, uint8_t* output,
                    uint32_t* outputLength);

/* ---- Additions of this library ----
 * The label that X_SetDEVLabel writes cannot be read back through the functions above
 * (information type 0 is the fixed device name), and nothing tells a caller which transport
 * a device number landed on. Tools that show a token to a person need both. */

/* Reads the label file; the buffer must hold 65 bytes (label and terminator). Like a label
 * write, it ends with the post-connect selection, leaving the token in its application. */
XAPI X_GetDEVLabel(DeviceHandle* device, uint8_t* label, uint32_t* length);
/* The tag of the transport the device is reached through: 'C', 'D', 'H' or 'M'. */
XAPI X_GetDEVTransport(DeviceHandle* device, char* tag);

/* X_CreateContainer hands out the handle of a named container only once; these find named
 * containers again, so that a later run can import into or destroy them.
 * X_OpenNamedContainer: the handle of the container directory entry of that exact name
 * (XR_NOT_FOUND when there is none), with the flags its flag files hold; it does not change
 * the directory PIN verification goes to. Free it with X_CloseContainer or
 * X_DestroyContainer.
 * X_EnumNamedContainers: the names in use, each followed by a zero byte, with the total
 * length; a null buffer asks for the length only. The buffer must hold 4 x 121 bytes. */
XAPI X_OpenNamedContainer(DeviceHandle* device, const char* name, ContainerHandle** container);
XAPI X_EnumNamedContainers(DeviceHandle* device, char* buffer, uint32_t* length);

#ifdef __cplusplus
}
#endif

#endif
