#ifndef SITE_H
#define SITE_H

/* exit() and quit() made builtins, as site's. */
__attribute__((visibility("hidden"))) int quitters(void);
/* sys.flags.no_user_site set: a program that imports site adds no user
 * site directory. */
__attribute__((visibility("hidden"))) int no_user_site(void);

#endif
