// SPDX-License-Identifier: Apache-2.0
/**
 * Router Alert from Java: on the JDK's own datagram channels and sockets ({@link nimbo.RouterAlert}),
 * and on a router, the datagrams in transit that carry it ({@link nimbo.RouterAlertTap}).
 */
module nimbo {
    exports nimbo;
}
