// STUB for the -fsyntax-only check of apple_mac_system.cc off Apple
// platforms: the dispatch-queue calls that file makes, as libdispatch
// declares them for C++ (queues derive from dispatch objects). Never linked;
// see ../README.md.
#ifndef RAVIK_STUB_DISPATCH_DISPATCH_H_
#define RAVIK_STUB_DISPATCH_DISPATCH_H_

struct dispatch_object_s {};
struct dispatch_queue_s : public dispatch_object_s {};
struct dispatch_queue_attr_s : public dispatch_object_s {};
typedef dispatch_object_s* dispatch_object_t;
typedef dispatch_queue_s* dispatch_queue_t;
typedef dispatch_queue_attr_s* dispatch_queue_attr_t;
typedef void (*dispatch_function_t)(void*);

#define DISPATCH_QUEUE_SERIAL nullptr

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);
void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
void dispatch_release(dispatch_object_t object);

#endif  // RAVIK_STUB_DISPATCH_DISPATCH_H_
