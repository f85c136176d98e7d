// SPDX-License-Identifier: Apache-2.0
import java.net.InetSocketAddress;
import java.net.StandardProtocolFamily;
import java.net.StandardSocketOptions;
import java.nio.ByteBuffer;
import java.nio.channels.DatagramChannel;
import java.nio.charset.StandardCharsets;
import nimbo.RouterAlert;

/** Sends a few text datagrams to a multicast group from a plain JDK channel given Router Alert. */
public final class ChannelDemo {
    public static void main(String[] args) throws Exception {
        String group = args[0];
        int port = Integer.parseInt(args[1]);
        int count = Integer.parseInt(args[2]);

        InetSocketAddress to = new InetSocketAddress(group, port);
        try (DatagramChannel channel = RouterAlert.enable(DatagramChannel.open(StandardProtocolFamily.INET))) {
            channel.setOption(StandardSocketOptions.IP_MULTICAST_TTL, 128);  // as NimboSend's
            for (int i = 1; i <= count; i++) {
                String message = "hello #" + i + " from a JDK DatagramChannel";
                channel.send(ByteBuffer.wrap(message.getBytes(StandardCharsets.US_ASCII)), to);
                System.out.println("sent     " + message);
            }
        }
    }
}
