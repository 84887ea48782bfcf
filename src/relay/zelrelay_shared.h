/*
 * What the module and the local relay both rely on beyond the library's
 * calls, each written once: the number of events, the semaphore's file, the
 * repository layout that the module's clean-up rewrites, the pattern
 * components and the one status the module makes up itself.
 */
#ifndef ZELRELAY_SHARED_H
#define ZELRELAY_SHARED_H

/* Events are numbered from 0; zelrelay.h names each. */
enum { ZELRELAY_EVENT_COUNT = 6 };

/* The library's named semaphore and the file behind it, which the module
   removes after every context. */
#define ZELRELAY_SEMAPHORE_NAME "/zelrelay"
#define ZELRELAY_SEMAPHORE_FILE "/dev/shm/sem.zelrelay"

/* A repository: its index, the index the clean-up leaves, the folder of
   package archives, the suffix of the merged archives that it spares, and
   the index of what those archives hold, which it leaves alone. */
#define ZELRELAY_INDEX_FILE "server.ini"
#define ZELRELAY_EMPTY_INDEX "[PATTERN]\n\n[ENGINE]\n\n[All_Product]\n\n"
#define ZELRELAY_PACKAGES_DIR "packages"
#define ZELRELAY_MERGED_SUFFIX "_merged.zip"
#define ZELRELAY_MERGED_INDEX "merged.ini"

/* Pattern components: every class-3 component, and the class-22 type-2213
   one. Class-3 type 4 is pelno, which one selection leaves out. */
enum {
  ZELRELAY_CLASS_PATTERN = 3,
  ZELRELAY_TYPE_PELNO = 4,
  ZELRELAY_CLASS_KVEM = 22,
  ZELRELAY_TYPE_KVEM = 2213
};

/* The modes the module's g_zel_mode takes: in a dry run duplications copy
   nothing and write nothing, and neither does the clean-up after them. */
enum { ZELRELAY_MODE_MIRROR = 0, ZELRELAY_MODE_DRY_RUN = 1 };

/* The status, and so the library's message, of a selection whose buffer
   cannot be allocated. */
enum { ZELRELAY_STATUS_OUT_OF_MEMORY = -4 };

#endif
