#pragma once

#include <string>

struct lws_context;

// Confines the library's file serving of the context to `mountOrigin`: a requested file is opened only when its
// resolved path (links followed) lies inside the resolved mount folder and is a regular file (or a folder, for
// its default document). Anything else is not opened, which the library answers with 404, so a link out of the
// mount is not followed and a FIFO cannot block the loop. Call once after the context is created.
void confineStaticFiles(lws_context* context, const std::string& mountOrigin);
// Forgets the context's confinement; call before the context is destroyed.
void releaseStaticFiles(lws_context* context);

// True when `path` resolves to a regular file or a folder inside the folder `root` resolves to.
bool servableInside(const std::string& root, const std::string& path);
