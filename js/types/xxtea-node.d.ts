// The part of xxtea-node (which ships no types) that lib/scheme.js uses.
declare module 'xxtea-node' {
  /** XXTEA with the trailing length word; data as bytes or UTF-8 text. */
  export function encrypt(data: Uint8Array | string, key: Uint8Array | string): Uint8Array;
  /** null when the length word does not fit the data. */
  export function decrypt(data: Uint8Array | string, key: Uint8Array | string): Uint8Array | null;
}
