#ifndef SITE_H
#define SITE_H

/* exit() and quit() made builtins, as site's: 0, or -1 with an exception. */
__attribute__((visibility("hidden"))) int quitters(void);
/* sys.flags.no_user_site set: a program that imports site adds no user
 * site directory. 0, or -1 with an exception. */
__attribute__((visibility("hidden"))) int no_user_site(void);
/* site imported, as the interpreter imports it as it starts: 0, or -1
 * when it failed, said so on stderr, and left no exception. */
__attribute__((visibility("hidden"))) int import_site(void);

#endif
