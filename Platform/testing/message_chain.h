// Test-only: a chain of messages each embedded in the one before, built with the platform's
// message writer, for the tests and benchmarks of what embedded messages cost. Header-only.
#pragma once

#include <memory>
#include <utility>

#include "mapi/message_writer.h"

namespace platform::testing {

// `depth` messages: `innermost`, embedded ("forwarded.msg") in a copy of `outer`, that one in
// another copy of `outer`, and so on; the outermost is returned.
inline msgwriter::MessageSpec EmbeddedChain(const msgwriter::MessageSpec& innermost, int depth,
                                            const msgwriter::MessageSpec& outer) {
    auto inner = std::make_shared<msgwriter::MessageSpec>(innermost);
    for (int level = depth - 1; level >= 1; --level) {
        auto wrapping = std::make_shared<msgwriter::MessageSpec>(outer);
        msgwriter::AttachmentSpec attachment{{msgwriter::Long(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG),
                                              msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"forwarded.msg")}};
        attachment.embedded = inner;
        wrapping->attachments.push_back(std::move(attachment));
        inner = wrapping;
    }
    return *inner;
}

}  // namespace platform::testing
