// SPDX-License-Identifier: Apache-2.0
import java.util.List;

/** One benchmark's table, as Markdown, and how its figures stand against their targets. */
record Section(String markdown, List<Section.Target> targets) {
    /** A target, the figure measured against it, and whether that figure meets it. */
    record Target(String goal, String measured, boolean met) {}
}
