/// <reference types="node" />
import type { Buffer } from 'node:buffer';

/** How to start the helper; every field may be left out. */
export interface HelperOptions {
  /** The helper binary: a path, or a name found on PATH. Default: "tarvo-eimza-helper". */
  binary?: string;
  /** The PKCS#11 module of the card for this request (the request's "p11"). Default: the helper's own. */
  module?: string;
  /** Milliseconds until the helper is told to end (SIGTERM, then SIGKILL two seconds later if it stays); 0 or Infinity for none. Default: defaultTimeout (7 minutes). */
  timeout?: number;
  /** The helper's environment (HOME, PATH, DISPLAY, …). Default: this process's. */
  env?: NodeJS.ProcessEnv;
}

export type ProviderName = 'macOS Keychain/CryptoTokenKit' | 'AKİS PKCS#11';

/** A certificate as a listing reports it. */
export interface CertificateEntry {
  /** The DER bytes. */
  certificate: Buffer;
  /** The serial number's bytes from the last to the first, upper-case hex; "" when unreadable. */
  certificateSerial: string;
  certificateSubject: string;
  /** SHA-256 of the DER bytes, 64 lower-case hex digits. */
  fingerprint: string;
  identityFingerprint: string;
  /** The issuer; the providerName when the issuer is empty. */
  provider: string;
  providerName: ProviderName;
  validFrom: Date;
  validUntil: Date;
}

export interface ListResult {
  certificates: CertificateEntry[];
  /** Only when the card could not be read: the card's message. */
  warning?: string;
}

/** The answer of sign(): the certificate (without providerName) and the signature. */
export interface ChallengeSignature extends Omit<CertificateEntry, 'providerName'> {
  /** RSA PKCS #1 v1.5 or ECDSA (DER) with SHA-256 over the challenge. */
  signature: Buffer;
}

export interface DocumentCertificate {
  certificate: Buffer;
  identityFingerprint: string;
}

export interface DocumentSignature {
  certificate: Buffer;
  /** RSA PKCS #1 v1.5 over the DigestInfo. */
  signature: Buffer;
}

/** Every failure. */
export declare class HelperError extends Error {
  name: 'HelperError';
  /** The exit status; null when the helper was killed or never started. */
  status: number | null;
  /** "helper": the helper's error document, whose Turkish message is the message. */
  reason: 'helper' | 'timeout' | 'not-started' | 'unreadable';
}

export declare const defaultBinary: string;
export declare const defaultTimeout: number;

/** Every valid certificate of the certificate store and the card. */
export declare function list(options?: HelperOptions): Promise<ListResult>;

/** Signs 1 to 4096 bytes with the store's key or, after the PIN dialog, on the card. */
export declare function sign(
  request: { challenge: Uint8Array; fingerprint: string },
  options?: HelperOptions,
): Promise<ChallengeSignature>;

/** The card certificate for documents: the one with the fingerprint, or the card's first. */
export declare function documentCertificate(
  request?: { fingerprint?: string },
  options?: HelperOptions,
): Promise<DocumentCertificate>;

/** The card signs a 51-byte SHA-256 DigestInfo with the PIN given here, tried once. */
export declare function signDocument(
  request: { digestInfo: Uint8Array; pin: string | Buffer; fingerprint?: string },
  options?: HelperOptions,
): Promise<DocumentSignature>;
