// SPDX-License-Identifier: Apache-2.0
/** Router Alert on the JDK's own datagram channels and sockets: see {@link nimbo.RouterAlert}. */
module nimbo {
    exports nimbo;
}
