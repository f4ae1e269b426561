/* Public C/C++ interface of nimbo.spsc_queue.spsc_queue.SPSCQueue.
 *
 * A single-producer/single-consumer ring queue of byte messages. Native code
 * reaches it through the method table published as the capsule (NULL name)
 * `__pyx_vtable__` in the type's dictionary; every instance also carries a
 * pointer to that table as its first field.
 *
 * Threads: one producer thread calls the push forms, one consumer thread the
 * pop forms; `close` may run on a third thread at the same time. None of the
 * entries takes the interpreter lock or touches a reference count.
 *
 * Modes (constructor flags):
 * - fixed slots (push, try_push, pop, release, try_pop): `capacity` slots of
 *   up to `slot_size` bytes each.
 * - variable size (push_var, try_push_var, pop_var, try_pop_var): one byte
 *   ring of capacity * slot_size bytes holding length-prefixed records; a
 *   record never wraps, so a message may be as large as the ring allows.
 *   A ring is used in one of the two families only; it records the family of
 *   its first push or pop, and the other family is refused: the native
 *   entries return FERRY_SPSC_WRONG_FAMILY, the Python methods raise.
 * - overwrite: a push into a full ring drops the oldest unread message and is
 *   accepted; the consumer never sees a torn message.
 * - block_on_full: push/push_var wait for space (until close) instead of
 *   returning FERRY_SPSC_FULL. The try forms never wait.
 * - zerocopy: pops hand out a pointer into the ring itself. Without it a
 *   popped message is first copied into a consumer-side buffer, so the ring
 *   slot is free again as soon as the pop returns.
 *
 * Results:
 * - push forms: > 0 accepted, FERRY_SPSC_FULL (0) not accepted,
 *   FERRY_SPSC_TOO_LARGE or FERRY_SPSC_CLOSED (< 0).
 *   Too large: fixed forms, size > slot_size; variable-size forms,
 *   8 + size rounded up to 8 > capacity * slot_size.
 * - pop forms: 1 a message (pointer and length valid until the consumer's
 *   next queue call; after `pop`, until `release`), FERRY_SPSC_EMPTY (0) for
 *   the try forms when empty, FERRY_SPSC_CLOSED once closed and drained.
 *   A waiting pop returns promptly with a non-1 result after close: messages
 *   pushed before the close are delivered first, then FERRY_SPSC_CLOSED.
 *   Once a pop has returned FERRY_SPSC_CLOSED no message can follow.
 * - every push and pop form: FERRY_SPSC_WRONG_FAMILY (< 0) on a ring that
 *   records the other family; nothing is pushed or popped.
 * - pending: messages accepted and neither popped nor dropped (a message the
 *   consumer holds is no longer counted).
 *
 * Overwrite and a held message: the message the consumer holds (between pop
 * and release, or a zerocopy try_pop until the next call) is never
 * overwritten. The ring keeps a spare ring length for this; a producer that
 * would lap the held message gets FERRY_SPSC_FULL (with block_on_full, push
 * and push_var wait for the release instead).
 *
 * Entries on an object whose __init__ never ran (ring == NULL) do nothing:
 * the push and pop forms return FERRY_SPSC_CLOSED, pending returns 0.
 */
#ifndef NIMBO_SPSC_QUEUE_H
#define NIMBO_SPSC_QUEUE_H

#include <Python.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    FERRY_SPSC_EMPTY = 0,
    FERRY_SPSC_FULL = 0,
    FERRY_SPSC_TOO_LARGE = -1,
    FERRY_SPSC_CLOSED = -2,
    FERRY_SPSC_WRONG_FAMILY = -3 /* newer: a form of the family the ring is not used in */
};

struct ferry_spsc_queue;

typedef int (*ferry_spsc_push_fn)(struct ferry_spsc_queue *q, const char *data, size_t size);
typedef int (*ferry_spsc_pop_fn)(struct ferry_spsc_queue *q, const char **data, size_t *size);
typedef void (*ferry_spsc_void_fn)(struct ferry_spsc_queue *q);

/* The eleven entries, in this order. */
typedef struct ferry_spsc_vtable {
    ferry_spsc_push_fn push;          /* producer; may wait with block_on_full */
    ferry_spsc_push_fn try_push;      /* producer; never waits */
    ferry_spsc_push_fn push_var;      /* producer; may wait with block_on_full */
    ferry_spsc_push_fn try_push_var;  /* producer; never waits */
    size_t (*pending)(struct ferry_spsc_queue *q); /* any thread: messages waiting (a snapshot) */
    ferry_spsc_pop_fn pop;            /* consumer; waits; message valid until release */
    ferry_spsc_void_fn release;       /* consumer; ends the message `pop` gave */
    ferry_spsc_pop_fn try_pop;        /* consumer; never waits */
    ferry_spsc_pop_fn pop_var;        /* consumer; waits */
    ferry_spsc_pop_fn try_pop_var;    /* consumer; never waits */
    ferry_spsc_void_fn close;         /* any thread; wakes every waiter */
} ferry_spsc_vtable;

/* Instance layout: exactly 232 bytes, checked by importers. */
typedef struct ferry_spsc_queue {
    PyObject_HEAD
    const ferry_spsc_vtable *vtab; /* never NULL */
    void *ring;                    /* native ring core; NULL only before construction */
    size_t slot_size;
    size_t capacity;
    unsigned char overwrite;
    unsigned char zerocopy;
    unsigned char block_on_full;
    unsigned char reserved_flags[5]; /* [0]: a Python-level push() is waiting with the
                                        interpreter lock released; [1]: the family of forms
                                        first used (0 none yet, 1 fixed slots, 2 variable
                                        size), written once; [2..4] unused */
    char reserved[176];            /* room for the ring to grow into without an ABI break */
} ferry_spsc_queue;

#define FERRY_SPSC_INSTANCE_SIZE 232

#ifdef __cplusplus
}
static_assert(sizeof(ferry_spsc_queue) == FERRY_SPSC_INSTANCE_SIZE, "SPSCQueue layout is 232 bytes");
#endif

#endif
